// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// Drives the daemon engine directly, without the responder above it, for the contract
// test (tests/e2e/test_daemon_engine.py). Commands on stdin, tab-separated, one a line;
// every event is a JSON line on stdout with "event" and "t" (seconds since the epoch):
//   load                       loadDaemonEngine(): "loaded" or "unavailable" {why};
//                              both tell whether QtDBus is mapped ("dbus")
//   start                      Engine::start(): then "running" {description, host,
//                              foreign}, "hostChanging", "away", "back", "failed" {why, warn}
//   group ID                   a new entry group; its states come as "group" {id, state, why}
//   service ID NAME TYPE HOST PORT [TXT...]
//   hostaddrs ID FQDN          this host's addresses under FQDN, as the responder adds
//                              them: A over IPv4, AAAA over both, no reverse records
//   commit ID | reset ID | free ID
//   browse ID TYPE PROTOCOL    "browse" {id, what, interface, protocol, name, type, domain}
//   resolve ID IF PROTOCOL NAME TYPE DOMAIN
//                              "resolved" {id, found, name, host, address, port, txt}
//   quit                       frees everything and the engine, says "exiting" and ends
// SIGTERM does what quit does.

#include "src/moduleloader_p.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QSocketNotifier>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <unistd.h>

using namespace QZeroConfInternal;

namespace {

int termPipe[2];

void say(QJsonObject o)
{
    // In microseconds: the tests compare it with moments they take themselves.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    o.insert(QStringLiteral("t"),
             double(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) / 1e6);
    std::fputs(QJsonDocument(o).toJson(QJsonDocument::Compact).append('\n').constData(), stdout);
    std::fflush(stdout);
}

QJsonObject event(const char *name)
{
    return QJsonObject{{QStringLiteral("event"), QString::fromLatin1(name)}};
}

void sayError(const QString &why)
{
    QJsonObject o = event("error");
    o.insert(QStringLiteral("why"), why);
    say(o);
}

bool dbusMapped()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) &&
           maps.readAll().contains("DBus.so"); // libQt5DBus or libQt6DBus
}

const char *stateName(GroupState s)
{
    switch (s) {
    case GroupState::Uncommitted:
        return "Uncommitted";
    case GroupState::Registering:
        return "Registering";
    case GroupState::Established:
        return "Established";
    case GroupState::Collision:
        return "Collision";
    case GroupState::Failure:
        return "Failure";
    }
    return "?";
}

QString text(const QByteArray &b)
{
    return QString::fromUtf8(b);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::unique_ptr<Engine> engine;
    std::map<QByteArray, std::unique_ptr<EngineGroup>> groups;
    std::map<QByteArray, std::unique_ptr<EngineLookup>> lookups;

    auto quit = [&] {
        // The contract: whatever was made through the engine goes before it.
        groups.clear();
        lookups.clear();
        engine.reset();
        say(event("exiting"));
        QCoreApplication::quit();
    };

    if (::pipe(termPipe) != 0)
        return 1;
    std::signal(SIGTERM, [](int) {
        const char c = 1;
        (void)!::write(termPipe[1], &c, 1);
    });
    QSocketNotifier term(termPipe[0], QSocketNotifier::Read);
    QObject::connect(&term, &QSocketNotifier::activated, [&] {
        term.setEnabled(false);
        quit();
    });

    auto command = [&](const QList<QByteArray> &w) {
        const QByteArray &cmd = w.value(0);
        const QByteArray &id = w.value(1);
        if (cmd == "load") {
            QString why;
            engine = loadDaemonEngine(&why);
            QJsonObject o = event(engine ? "loaded" : "unavailable");
            o.insert(QStringLiteral("why"), why);
            o.insert(QStringLiteral("dbus"), dbusMapped());
            say(o);
        } else if (cmd == "start" && engine) {
            EngineEvents e;
            Engine *en = engine.get();
            e.running = [en] {
                QJsonObject o = event("running");
                o.insert(QStringLiteral("description"), en->description());
                o.insert(QStringLiteral("host"), text(en->ownHostName()));
                o.insert(QStringLiteral("foreign"), en->foreignNetwork());
                o.insert(QStringLiteral("daemon"), en->isDaemon());
                say(o);
            };
            e.hostChanging = [] {
                say(event("hostChanging"));
            };
            e.away = [] {
                say(event("away"));
            };
            e.back = [] {
                say(event("back"));
            };
            e.failed = [](const QString &why, bool warn) {
                QJsonObject o = event("failed");
                o.insert(QStringLiteral("why"), why);
                o.insert(QStringLiteral("warn"), warn);
                say(o);
            };
            engine->start(e, StartMode::Now);
        } else if (cmd == "group" && engine) {
            groups[id] = engine->newGroup([id](GroupState s, const QString &why) {
                QJsonObject o = event("group");
                o.insert(QStringLiteral("id"), text(id));
                o.insert(QStringLiteral("state"), QString::fromLatin1(stateName(s)));
                o.insert(QStringLiteral("why"), why);
                say(o);
            });
        } else if (cmd == "service" && groups.count(id) && w.size() >= 6) {
            groups[id]->addService(AnyInterface, w[2], w[3], w[4], quint16(w[5].toUInt()),
                                   TxtRecord::fromStrings(w.mid(6)));
        } else if (cmd == "hostaddrs" && groups.count(id) && w.size() == 3) {
            const auto all = QNetworkInterface::allInterfaces();
            for (const QNetworkInterface &i : all) {
                if (!(i.flags() & QNetworkInterface::IsUp) ||
                    (i.flags() & QNetworkInterface::IsLoopBack))
                    continue;
                const auto entries = i.addressEntries();
                for (const QNetworkAddressEntry &a : entries) {
                    const bool v4 = a.ip().protocol() == QAbstractSocket::IPv4Protocol;
                    groups[id]->addAddress(i.index(), v4 ? IPv4 : AnyProtocol, w[2], a.ip(), false);
                }
            }
        } else if (cmd == "commit" && groups.count(id)) {
            groups[id]->commit();
        } else if (cmd == "reset" && groups.count(id)) {
            groups[id]->reset();
        } else if (cmd == "free") {
            groups.erase(id);
            lookups.erase(id);
        } else if (cmd == "browse" && engine && w.size() == 4) {
            QString error;
            auto l = engine->browse(
                w[3].toInt(), w[2],
                [id](BrowseEvent ev, int interface, int protocol, const QString &name,
                     const QString &type, const QString &domain) {
                    static const char *const what[] = {"new", "remove", "allForNow", "failure"};
                    QJsonObject o = event("browse");
                    o.insert(QStringLiteral("id"), text(id));
                    o.insert(QStringLiteral("what"), QString::fromLatin1(what[int(ev)]));
                    o.insert(QStringLiteral("interface"), interface);
                    o.insert(QStringLiteral("protocol"), protocol);
                    o.insert(QStringLiteral("name"), name);
                    o.insert(QStringLiteral("type"), type);
                    o.insert(QStringLiteral("domain"), domain);
                    say(o);
                },
                &error);
            if (!l)
                sayError(error);
            lookups[id] = std::move(l);
        } else if (cmd == "resolve" && engine && w.size() == 7) {
            QString error;
            auto l = engine->resolve(
                w[2].toInt(), w[3].toInt(), text(w[4]), text(w[5]), text(w[6]), AnyProtocol,
                [id](bool found, const ResolvedService &r) {
                    QJsonObject o = event("resolved");
                    o.insert(QStringLiteral("id"), text(id));
                    o.insert(QStringLiteral("found"), found);
                    o.insert(QStringLiteral("name"), r.name);
                    o.insert(QStringLiteral("host"), r.host);
                    o.insert(QStringLiteral("address"), r.ip.toString());
                    o.insert(QStringLiteral("interface"), int(r.interfaceIndex));
                    o.insert(QStringLiteral("port"), r.port);
                    QJsonArray txt;
                    for (const QByteArray &s : r.txtStrings)
                        txt.append(text(s));
                    o.insert(QStringLiteral("txt"), txt);
                    say(o);
                },
                &error);
            if (!l)
                sayError(error);
            lookups[id] = std::move(l);
        } else if (cmd == "quit") {
            quit();
        } else {
            sayError(QStringLiteral("bad command: ") + text(cmd));
        }
    };

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[1024];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);
            quit();
            return;
        }
        pending.append(buf, int(n));
        int eol;
        while ((eol = pending.indexOf('\n')) >= 0) {
            const QList<QByteArray> words = pending.left(eol).split('\t');
            pending.remove(0, eol + 1);
            command(words);
        }
    });
    return app.exec();
}
