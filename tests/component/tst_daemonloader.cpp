// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// Where the component looks for a system bus before it loads the daemon engine (and
// QtDBus with it).
#include "moduleloader_p.h"

#include <QLocalServer>
#include <QTemporaryDir>
#include <QtTest>

using namespace QZeroConfInternal;

class TestDaemonLoader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { qunsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }
    void cleanupTestCase() { qunsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }

    void addresses_data()
    {
        QTest::addColumn<QString>("address"); // %1: a socket that exists, %2: a file
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QString>("where");
        QTest::newRow("socket") << "unix:path=%1" << true << "%1";
        QTest::newRow("no such path") << "unix:path=%1-not" << false << "%1-not";
        QTest::newRow("a file, not a socket") << "unix:path=%2" << false << "%2";
        QTest::newRow("second of a list")
            << "unix:path=/nonexistent/a;unix:path=%1" << true << "%1";
        QTest::newRow("more keys") << "unix:path=%1,guid=1" << true << "%1";
        QTest::newRow("abstract") << "unix:abstract=/tmp/dbus-x" << true << "";
        QTest::newRow("tcp") << "tcp:host=127.0.0.1,port=1" << true << "";
    }
    void addresses()
    {
        QFETCH(QString, address);
        QFETCH(bool, exists);
        QFETCH(QString, where);
        QTemporaryDir dir;
        QLocalServer server;
        const QString socket = dir.filePath(QStringLiteral("bus"));
        QVERIFY(server.listen(socket));
        QFile file(dir.filePath(QStringLiteral("file")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        auto fill = [&](QString s) {
            return s.replace(QLatin1String("%1"), socket)
                .replace(QLatin1String("%2"), file.fileName());
        };
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", fill(address).toLocal8Bit());
        QString seen;
        QCOMPARE(systemBusExists(&seen), exists);
        if (!where.isEmpty())
            QCOMPARE(seen, fill(where));
    }

    void percentEscapedPath()
    {
        QTemporaryDir dir;
        QLocalServer server;
        const QString socket = dir.filePath(QStringLiteral("a bus"));
        QVERIFY(server.listen(socket));
        QByteArray escaped = socket.toLocal8Bit().toPercentEncoding("/");
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + escaped);
        QString seen;
        QVERIFY(systemBusExists(&seen));
        QCOMPARE(seen, socket);
    }

    void noBusNoEngineAndNoQtDBus()
    {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus");
        QString why;
        QVERIFY(!loadDaemonEngine(&why));
#if LANBEACON_DAEMON_BACKEND
        QCOMPARE(why, QStringLiteral("no system bus at /nonexistent/bus"));
#else
        QCOMPARE(why, QStringLiteral("built without the daemon backend"));
#endif
        QFile maps(QStringLiteral("/proc/self/maps"));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        QVERIFY(!maps.readAll().contains("libQt5DBus"));
    }
};

QTEST_GUILESS_MAIN(TestDaemonLoader)
#include "tst_daemonloader.moc"
