// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// The public class: how requests are refused, when publishExists() holds, that
// outcomes arrive from the event loop, that the engine keeps quiet, and how
// terminating signals are taken over while a publication stands.
//
// Cases that start a real responder first move this process into a network namespace
// of its own with no usable link (needs root), so nothing reaches a real network.

#include "qzeroconf"

#include <QtTest>

#include <csignal>
#include <sched.h>
#include <unistd.h>

namespace {

struct Message
{
    QtMsgType type;
    QByteArray category;
    QString text;
};

QList<Message> messages;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    messages.append({type, QByteArray(context.category), text});
}

QList<Message> warnings()
{
    QList<Message> result;
    for (const Message &m : messages) {
        if (m.type != QtDebugMsg && m.type != QtInfoMsg)
            result.append(m);
    }
    return result;
}

QString describe(const QList<Message> &list)
{
    QStringList lines;
    for (const Message &m : list)
        lines << QString::fromUtf8(m.category) + QStringLiteral(": ") + m.text;
    return lines.join(QLatin1Char('\n'));
}

bool handledBy(int signo, void (*handler)(int))
{
    struct sigaction current;
    sigaction(signo, nullptr, &current);
    return current.sa_handler == handler;
}

volatile sig_atomic_t ownHandlerCalls = 0;
void ownHandler(int)
{
    ownHandlerCalls = ownHandlerCalls + 1;
}

} // namespace

class tst_QZeroConf : public QObject
{
    Q_OBJECT

    bool m_isolated = false;

    void requireIsolation()
    {
        if (!m_isolated)
            QSKIP("needs root, to run a real responder in a network namespace of its own");
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_isolated = geteuid() == 0 && unshare(CLONE_NEWNET) == 0;
        // The embedded responder is under test here, whatever runs on this machine.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/no-system-bus");
        // QtTest's crash handler takes these; start from the default actions.
        for (int signo : {SIGTERM, SIGINT, SIGHUP})
            signal(signo, SIG_DFL);
        qInstallMessageHandler(captureMessage);
    }

    void init() { messages.clear(); }

    void refusedRequestReportsFromTheEventLoop_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("reason");
        QTest::newRow("type") << QByteArray("P") << QByteArray("printer") << QByteArray()
                              << QString()
                              << QStringLiteral("service type \"printer\" is not valid");
        QTest::newRow("name") << QByteArray(64, 'n') << QByteArray("_printer._tcp") << QByteArray()
                              << QString() << QStringLiteral("at most 63 bytes");
        QTest::newRow("control character")
            << QByteArray("Office\nPrinter") << QByteArray("_printer._tcp") << QByteArray()
            << QString() << QStringLiteral("contains a control character (0x0A)");
        QTest::newRow("host") << QByteArray("P") << QByteArray("_printer._tcp")
                              << QByteArray("a.b.c") << QString()
                              << QStringLiteral("host name \"a.b.c\" is not valid");
        QTest::newRow("txt") << QByteArray("P") << QByteArray("_printer._tcp") << QByteArray()
                             << QString(300, QLatin1Char('x'))
                             << QStringLiteral("at most 255 bytes");
        QTest::newRow("subtype") << QByteArray("P") << QByteArray("_ipp._tcp,_a,_A") << QByteArray()
                                 << QString() << QStringLiteral("subtype \"_A\" of \"_ipp._tcp\"");
        QTest::newRow("interface") << QByteArray("P") << QByteArray("_ipp._tcp") << QByteArray()
                                   << QString() << QStringLiteral("does not exist");
    }

    void refusedRequestReportsFromTheEventLoop()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, type);
        QFETCH(QByteArray, host);
        QFETCH(QString, value);
        QFETCH(QString, reason);
        QZeroConf zc;
        if (QTest::currentDataTag() == QByteArray("interface"))
            zc.setNetworkInterfaces({QNetworkInterface::interfaceFromName(QStringLiteral("nx9"))});
        QSignalSpy errors(&zc, &QZeroConf::error);
        zc.addServiceTxtRecord(QStringLiteral("printer_name"), value);
        zc.startServicePublish(name.constData(), type.constData(), host.constData(), 5853);
        QVERIFY(!zc.publishExists());
        QCOMPARE(errors.count(), 0); // not from inside the call
        QTRY_COMPARE(errors.count(), 1);
        QCOMPARE(errors.first().first().value<QZeroConf::error_t>(),
                 QZeroConf::serviceRegistrationFailed);
        const QList<Message> w = warnings();
        QCOMPARE(w.size(), 1);
        QCOMPARE(w.first().category, QByteArray("qzeroconf"));
        QVERIFY2(w.first().text.startsWith(QStringLiteral("cannot publish")),
                 qPrintable(w.first().text));
        QVERIFY2(w.first().text.contains(reason), qPrintable(w.first().text));
        QVERIFY2(!w.first().text.contains(QLatin1Char('\n')), qPrintable(w.first().text));
        QCOMPARE(zc.errorString(), w.first().text);
    }

    void publishExistsFromCallUntilStop()
    {
        requireIsolation();
        QZeroConf zc;
        QSignalSpy errors(&zc, &QZeroConf::error);
        zc.addServiceTxtRecord(QStringLiteral("flag"));
        zc.startServicePublish("Printer", "_printer._tcp", "printer1", 5853);
        QVERIFY(zc.publishExists());
        QTest::qWait(300);
        QVERIFY(zc.publishExists());
        zc.stopServicePublish();
        QVERIFY(!zc.publishExists());
        zc.stopServicePublish(); // harmless
        QCOMPARE(errors.count(), 0);
        QVERIFY2(warnings().isEmpty(), qPrintable(describe(warnings())));
    }

    void secondPublishIsRefusedAndFirstStands()
    {
        requireIsolation();
        QZeroConf zc;
        QSignalSpy errors(&zc, &QZeroConf::error);
        zc.startServicePublish("Printer", "_printer._tcp", "printer1", 5853);
        zc.startServicePublish("Other", "_printer._tcp", "printer1", 5853);
        QTRY_COMPARE(errors.count(), 1);
        QVERIFY(zc.publishExists());
        QCOMPARE(warnings().size(), 1);
        QVERIFY(warnings().first().text.contains(QStringLiteral("already publishes \"Printer\"")));
        zc.stopServicePublish();
        // Once stopped, the object publishes again.
        zc.startServicePublish("Other", "_printer._tcp", "printer1", 5853);
        QVERIFY(zc.publishExists());
    }

    void destructorWithdrawsAStandingPublication()
    {
        requireIsolation();
        auto *zc = new QZeroConf;
        zc->startServicePublish("Printer", "_printer._tcp", "", 5853);
        QTest::qWait(100);
        delete zc; // frees the responder; AddressSanitizer watches the callbacks
        QTest::qWait(100);
        QVERIFY2(warnings().isEmpty(), qPrintable(describe(warnings())));
    }

    void terminatingSignalsAreTakenOnlyWhilePublishing()
    {
        requireIsolation();
        QVERIFY(handledBy(SIGTERM, SIG_DFL));
        {
            QZeroConf zc;
            zc.startServicePublish("Printer", "_printer._tcp", "printer1", 5853);
            QVERIFY(!handledBy(SIGTERM, SIG_DFL));
            QVERIFY(!handledBy(SIGINT, SIG_DFL));
            QVERIFY(!handledBy(SIGHUP, SIG_DFL));
            zc.stopServicePublish();
            QVERIFY(handledBy(SIGTERM, SIG_DFL));
            zc.startServicePublish("Printer", "_printer._tcp", "printer1", 5853);
            QVERIFY(!handledBy(SIGTERM, SIG_DFL));
        }
        QVERIFY(handledBy(SIGTERM, SIG_DFL));
        QVERIFY(handledBy(SIGHUP, SIG_DFL));
    }

    void signalsTheApplicationHandlesAreLeftAlone()
    {
        requireIsolation();
        signal(SIGHUP, SIG_IGN);
        signal(SIGINT, ownHandler);
        ownHandlerCalls = 0;
        {
            QZeroConf zc;
            zc.startServicePublish("Printer", "_printer._tcp", "printer1", 5853);
            QVERIFY(handledBy(SIGHUP, SIG_IGN));
            QVERIFY(handledBy(SIGINT, ownHandler));
            raise(SIGHUP);
            raise(SIGINT);
            QTest::qWait(100);
            QCOMPARE(int(ownHandlerCalls), 1);
            QVERIFY(zc.publishExists());
        }
        QVERIFY(handledBy(SIGHUP, SIG_IGN));
        QVERIFY(handledBy(SIGINT, ownHandler));
        signal(SIGHUP, SIG_DFL);
        signal(SIGINT, SIG_DFL);
    }
};

QTEST_GUILESS_MAIN(tst_QZeroConf)
#include "tst_qzeroconf.moc"
