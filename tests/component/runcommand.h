// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef TESTS_RUNCOMMAND_H
#define TESTS_RUNCOMMAND_H

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <vector>

#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>

// Runs a command to its end; true when it exited with 0. fork and exec rather than
// QProcess: Qt 5's QProcess cannot start a child under qemu-user, where the ARM build
// runs these tests.
inline bool runCommand(const char *program, const QStringList &args)
{
    QList<QByteArray> storage{QByteArray(program)};
    for (const QString &a : args)
        storage << a.toLocal8Bit();
    std::vector<char *> argv;
    for (QByteArray &a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        execvp(program, argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#endif
