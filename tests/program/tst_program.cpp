// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// The program's own behaviour: its command line, its diagnostic lines, the calls it
// makes into the zero-configuration component and its exit status. The component is
// replaced by a recording double (lanbeacon_recorded); the usage path is also checked
// on the real executable, which touches no network on that path.

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray usageLine =
    "argv 8:servername printerName printerNo printerType hasPasswd type host";

struct Run
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QList<QByteArray> stderrLines;
    QList<QByteArray> calls;
};

QByteArray pct(const QByteArray &bytes)
{
    return bytes.toPercentEncoding(" ");
}

QByteArray callLine(const QList<QByteArray> &fields)
{
    QByteArray line;
    for (const QByteArray &f : fields)
        line += (line.isEmpty() ? "" : "\t") + f;
    return line;
}

QList<QByteArray> txtCalls(const QByteArray &printer, const QByteArray &serial,
                           const QByteArray &kind, const QByteArray &secure)
{
    return {callLine({"addServiceTxtRecord", "printer_name", pct(printer)}),
            callLine({"addServiceTxtRecord", "serial_number", pct(serial)}),
            callLine({"addServiceTxtRecord", "printer_type", pct(kind)}),
            callLine({"addServiceTxtRecord", "secure", pct(secure)})};
}

// The binaries under test; a cross build names its own (run through LANBEACON_EMULATOR)
// while this harness runs on the build host.
QString binary(const char *variable, const char *builtIn)
{
    const QByteArray path = qgetenv(variable);
    return QString::fromLocal8Bit(path.isEmpty() ? QByteArray(builtIn) : path);
}

QString recordedBinary()
{
    return binary("LANBEACON_RECORDED_BINARY", RECORDED_BINARY);
}

QString realBinary()
{
    return binary("LANBEACON_REAL_BINARY", REAL_BINARY);
}

} // namespace

class tst_Program : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    Run run(const QString &program, const QStringList &args, const QStringList &env = {})
    {
        Run result;
        const QString recordPath = m_dir.filePath(QStringLiteral("calls.txt"));
        QFile::remove(recordPath);
        QFile(recordPath).open(QIODevice::WriteOnly);

        QProcess proc;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LANBEACON_RECORD"), recordPath);
        environment.remove(QStringLiteral("QT_LOGGING_RULES"));
        environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
        for (const QString &e : env)
            environment.insert(e.section(QLatin1Char('='), 0, 0), e.section(QLatin1Char('='), 1));
        proc.setProcessEnvironment(environment);
        // A cross-built program runs through the emulator CTest names (qemu-user): an
        // ARM binary cannot be exec'd directly where binfmt_misc is not set up.
        const bool ours = program == recordedBinary() || program == realBinary();
        QStringList command = ours ? emulator() : QStringList();
        if (command.isEmpty()) {
            proc.start(program, args);
        } else {
            const QString runner = command.takeFirst();
            proc.start(runner, command + QStringList(program) + args);
        }
        if (!proc.waitForFinished(10000)) {
            proc.kill();
            proc.waitForFinished();
            qWarning("process did not end");
            return result;
        }
        result.exitCode = proc.exitCode();
        result.exitStatus = proc.exitStatus();
        QByteArray err = proc.readAllStandardError();
        if (err.endsWith('\n'))
            err.chop(1);
        if (!err.isEmpty())
            result.stderrLines = err.split('\n');
        QFile record(recordPath);
        record.open(QIODevice::ReadOnly);
        QByteArray calls = record.readAll();
        if (calls.endsWith('\n'))
            calls.chop(1);
        if (!calls.isEmpty())
            result.calls = calls.split('\n');
        return result;
    }

    static QStringList emulator()
    {
        return QString::fromLocal8Bit(qgetenv("LANBEACON_EMULATOR"))
            .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }

    Run runRecorded(const QStringList &args, const QStringList &env = {})
    {
        return run(recordedBinary(), args, env);
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void tooFewArguments_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("count");
        for (int count : {0, 1, 6}) {
            QTest::addRow("recorded, %d arguments", count) << recordedBinary() << count;
            QTest::addRow("real, %d arguments", count) << realBinary() << count;
        }
    }

    void tooFewArguments()
    {
        QFETCH(QString, program);
        QFETCH(int, count);
        QStringList args;
        for (int i = 0; i < count; ++i)
            args << QStringLiteral("arg%1").arg(i);
        const Run r = run(program, args);
        QCOMPARE(r.exitStatus, QProcess::NormalExit);
        QCOMPARE(r.exitCode, 255);
        QCOMPARE(r.stderrLines, QList<QByteArray>{usageLine});
        QVERIFY2(r.calls.isEmpty(), "no publisher may be created on the usage path");
    }

    void fullRunCallsInOrderAndEchoes()
    {
        const Run r =
            runRecorded({QStringLiteral("Office Printer"), QStringLiteral("HP LaserJet"),
                         QStringLiteral("SN-1"), QStringLiteral("laser"), QStringLiteral("false"),
                         QStringLiteral("_printer._tcp"), QStringLiteral("printer1")},
                        {QStringLiteral("LANBEACON_LOOP_EXITS=3,0")});
        QCOMPARE(r.exitStatus, QProcess::NormalExit);
        QCOMPARE(r.exitCode, 0); // the second loop's code, not the first's
        QList<QByteArray> expected{callLine({"construct", "null"})};
        expected += txtCalls("HP LaserJet", "SN-1", "laser", "false");
        expected += {callLine({"startServicePublish", "Office Printer", "_printer._tcp", "printer1",
                               "5853"}),
                     callLine({"loopExit", "3"}),
                     callLine({"publishExists", "true"}),
                     callLine({"stopServicePublish"}),
                     callLine({"loopExit", "0"}),
                     callLine({"destroy"})};
        QCOMPARE(r.calls, expected);
        const QList<QByteArray> lines{"name= \"Office Printer\"",
                                      "printerName= \"HP LaserJet\"",
                                      "printerNo= \"SN-1\"",
                                      "printerType= \"laser\"",
                                      "hasPasswd= \"false\"",
                                      "type= _printer._tcp",
                                      "host= printer1",
                                      "startServicePublish success \"HP LaserJet\"",
                                      "out"};
        QCOMPARE(r.stderrLines, lines);
    }

    void secondLoopCodeIsTheExitStatus_data()
    {
        QTest::addColumn<QString>("exits");
        QTest::addColumn<int>("status");
        QTest::newRow("exit(7)") << QStringLiteral("0,7") << 7;
        QTest::newRow("quit()") << QStringLiteral("5,0") << 0;
        QTest::newRow("exit(-1)") << QStringLiteral("0,-1") << 255;
    }

    void secondLoopCodeIsTheExitStatus()
    {
        QFETCH(QString, exits);
        QFETCH(int, status);
        const Run r = runRecorded({QStringLiteral("n"), QStringLiteral("p"), QStringLiteral("s"),
                                   QStringLiteral("t"), QStringLiteral("h"),
                                   QStringLiteral("_ipp._tcp"), QStringLiteral("x")},
                                  {QStringLiteral("LANBEACON_LOOP_EXITS=") + exits});
        QCOMPARE(r.exitStatus, QProcess::NormalExit);
        QCOMPARE(r.exitCode, status);
    }

    void emptyArgumentsGiveEmptyEntries()
    {
        const Run r = runRecorded(QStringList() << QString() << QString() << QString() << QString()
                                                << QString() << QString() << QString());
        QCOMPARE(r.calls.mid(1, 5),
                 txtCalls("", "", "", "") +
                     QList<QByteArray>{callLine({"startServicePublish", "", "", "", "5853"})});
        QCOMPARE(r.stderrLines.mid(0, 8),
                 (QList<QByteArray>{"name= \"\"", "printerName= \"\"", "printerNo= \"\"",
                                    "printerType= \"\"", "hasPasswd= \"\"",
                                    "type= ", "host= ", "startServicePublish success \"\""}));
    }

    void nameAndTypeReachThePublisherAsUtf8()
    {
        const QString name = QStringLiteral("Büro ✓ Drucker");
        const QString type = QStringLiteral("_drücker._tcp");
        const Run r =
            runRecorded({name, QStringLiteral("p"), QStringLiteral("s"), QStringLiteral("t"),
                         QStringLiteral("h"), type, QStringLiteral("host")});
        QCOMPARE(r.calls.value(5), callLine({"startServicePublish", pct(name.toUtf8()),
                                             pct(type.toUtf8()), "host", "5853"}));
        QVERIFY(r.stderrLines.contains("type= " + type.toUtf8()));
        QVERIFY(r.stderrLines.contains("name= \"" + name.toUtf8() + '"'));
    }

    void hostIsPassedByteForByte()
    {
        // Bytes that are not UTF-8 cannot travel through QString: let the shell make them.
        const QByteArray host("\xff\xfe raw\x01 host", 12);
        const Run r = run(QStringLiteral("/bin/sh"),
                          {QStringLiteral("-c"),
                           QStringLiteral("exec $LANBEACON_EMULATOR \"$0\" n p s t h _ipp._tcp "
                                          "\"$(printf '\\377\\376 raw\\001 host')\""),
                           recordedBinary()});
        QCOMPARE(r.calls.value(5),
                 callLine({"startServicePublish", "n", "_ipp._tcp", pct(host), "5853"}));
    }

    void extraArgumentsAreIgnored()
    {
        const Run r = runRecorded({QStringLiteral("n"), QStringLiteral("p"), QStringLiteral("s"),
                                   QStringLiteral("t"), QStringLiteral("h"),
                                   QStringLiteral("_ipp._tcp"), QStringLiteral("host"),
                                   QStringLiteral("extra1"), QStringLiteral("extra2")});
        QCOMPARE(r.calls.value(5),
                 callLine({"startServicePublish", "n", "_ipp._tcp", "host", "5853"}));
        for (const QByteArray &line : r.stderrLines)
            QVERIFY2(!line.contains("extra"), line.constData());
        QCOMPARE(r.stderrLines.size(), 9);
    }

    void refusedPublicationSkipsTheWithdrawal()
    {
        const Run r = runRecorded(
            {QStringLiteral("n"), QStringLiteral("p"), QStringLiteral("s"), QStringLiteral("t"),
             QStringLiteral("h"), QStringLiteral("_ipp._tcp"), QStringLiteral("host")},
            {QStringLiteral("LANBEACON_REFUSE=1"), QStringLiteral("LANBEACON_LOOP_EXITS=0,4")});
        QCOMPARE(r.exitCode, 4);
        QCOMPARE(
            r.calls.mid(6),
            (QList<QByteArray>{callLine({"loopExit", "0"}), callLine({"publishExists", "false"}),
                               callLine({"loopExit", "4"}), callLine({"destroy"})}));
        QCOMPARE(r.stderrLines.value(7), QByteArray("startServicePublish success \"p\""));
        QCOMPARE(r.stderrLines.value(8), QByteArray("out"));
    }
};

QTEST_GUILESS_MAIN(tst_Program)
#include "tst_program.moc"
