// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "moduleloader_p.h"

#include <QFileInfo>
#include <QLibrary>
#include <QStringList>

#include <dlfcn.h>
#include <sys/stat.h>

namespace QZeroConfInternal {

namespace {

bool isSocket(const QByteArray &path)
{
    struct stat st;
    return ::stat(path.constData(), &st) == 0 && S_ISSOCK(st.st_mode);
}

} // namespace

bool systemBusExists(QString *where)
{
    const QByteArray env = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (env.isEmpty()) {
        for (const char *path :
             {"/run/dbus/system_bus_socket", "/var/run/dbus/system_bus_socket"}) {
            *where = QString::fromLatin1(path);
            if (isSocket(path))
                return true;
        }
        return false;
    }
    // A list of "transport:key=value,..." separated by ';', values percent-escaped.
    *where = QString::fromLocal8Bit(env);
    for (const QByteArray &address : env.split(';')) {
        const int colon = address.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray transport = address.left(colon);
        if (transport != "unix")
            return true; // tcp and the like: nothing local to look at
        for (const QByteArray &pair : address.mid(colon + 1).split(',')) {
            if (pair.startsWith("abstract=") || pair.startsWith("runtime="))
                return true;
            if (pair.startsWith("path=")) {
                const QByteArray path = QByteArray::fromPercentEncoding(pair.mid(5));
                *where = QString::fromLocal8Bit(path);
                if (isSocket(path))
                    return true;
            }
        }
    }
    return false;
}

QFunctionPointer loadModuleFunction(const QString &module, const char *symbol, QString *why)
{
    QStringList candidates;
    Dl_info self;
    if (::dladdr(reinterpret_cast<void *>(&loadModuleFunction), &self) && self.dli_fname)
        candidates << QFileInfo(QString::fromLocal8Bit(self.dli_fname)).absolutePath() +
                          QLatin1Char('/') + module;
    candidates << QStringLiteral(QZEROCONF_MODULE_DIR "/") + module;
    candidates.removeDuplicates();

    QStringList problems;
    for (const QString &path : qAsConst(candidates)) {
        if (!QFileInfo::exists(path))
            continue;
        QLibrary library(path);
        // QtDBus does not like to be unloaded; neither do objects still in use.
        library.setLoadHints(QLibrary::PreventUnloadHint);
        if (!library.load()) {
            problems << library.errorString();
            continue;
        }
        if (QFunctionPointer f = library.resolve(symbol))
            return f;
        problems << QStringLiteral("%1 has no %2").arg(path, QLatin1String(symbol));
    }
    if (problems.isEmpty())
        *why = QStringLiteral("%1 is not installed (%2)")
                   .arg(module, candidates.join(QStringLiteral(", ")));
    else
        *why = problems.join(QStringLiteral("; "));
    return nullptr;
}

std::unique_ptr<Engine> loadDaemonEngine(QString *why, bool *busMissing)
{
    if (busMissing)
        *busMissing = false;
#ifndef QZEROCONF_DAEMON_MODULE
    *why = QStringLiteral("built without the daemon backend");
    return nullptr;
#else
    QString bus;
    if (!systemBusExists(&bus)) {
        if (busMissing)
            *busMissing = true;
        *why = QStringLiteral("no system bus at %1").arg(bus);
        return nullptr;
    }
    auto factory = reinterpret_cast<NewDaemonEngine>(loadModuleFunction(
        QStringLiteral(QZEROCONF_DAEMON_MODULE), QZEROCONF_DAEMON_ENGINE_FACTORY, why));
    if (!factory)
        return nullptr;
    if (Engine *engine = factory(EngineInterfaceVersion))
        return std::unique_ptr<Engine>(engine);
    *why = QStringLiteral("the daemon backend was built for another version of the component");
    return nullptr;
#endif
}

} // namespace QZeroConfInternal
