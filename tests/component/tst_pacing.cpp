// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// How a responder paces itself against a host that takes every name: probe rounds after
// conflicts, and the warnings that renames cause.

#include "pacing_p.h"

#include <QtTest>

using namespace QZeroConfInternal;

namespace {

int warningLines = 0;

void countWarnings(QtMsgType type, const QMessageLogContext &, const QString &)
{
    warningLines += type == QtWarningMsg;
}

} // namespace

class tst_Pacing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // RFC 6762 section 9: fifteen conflicts within ten seconds, then one round per five.
    void conflictsPaceTheNextRound_data()
    {
        QTest::addColumn<int>("conflicts"); // the first at 0 ms, the others at restAt
        QTest::addColumn<int>("restAt");
        QTest::addColumn<int>("roundAt"); // when a round started; -1: none
        QTest::addColumn<int>("askedAt");
        QTest::addColumn<int>("wait");
        QTest::newRow("fourteen") << 14 << 0 << -1 << 0 << 0;
        QTest::newRow("fifteen") << 15 << 0 << -1 << 0 << 5000;
        QTest::newRow("the first ten seconds before") << 15 << 5000 << -1 << 10000 << 5000;
        QTest::newRow("the first over ten seconds before") << 15 << 5000 << -1 << 10001 << 0;
        QTest::newRow("a round two seconds before") << 15 << 0 << 1000 << 3000 << 3000;
        QTest::newRow("a round over five seconds before") << 15 << 0 << 1000 << 7000 << 0;
    }

    void conflictsPaceTheNextRound()
    {
        QFETCH(int, conflicts);
        QFETCH(int, restAt);
        QFETCH(int, roundAt);
        QFETCH(int, askedAt);
        QFETCH(int, wait);
        qint64 now = 0;
        ConflictPacer pacer;
        pacer.setClock([&now] { return now; });
        pacer.noteConflict();
        now = restAt;
        for (int i = 1; i < conflicts; ++i)
            pacer.noteConflict();
        if (roundAt >= 0) {
            now = roundAt;
            pacer.roundStarted();
        }
        now = askedAt;
        QCOMPARE(pacer.untilNextRound(), wait);
    }

    // A few lines of each kind in ten seconds; the rest are folded.
    void warningsOfEachKindAreFoldedAfterFive()
    {
        qInstallMessageHandler(countWarnings);
        WarningFolder folder;
        for (int i = 0; i < 8; ++i)
            folder.warn(WarningFolder::ServiceRenamed, QStringLiteral("renamed %1").arg(i));
        folder.warn(WarningFolder::HostRenamed, QStringLiteral("host renamed"));
        qInstallMessageHandler(nullptr);
        QCOMPARE(warningLines, 6);
    }
};

QTEST_GUILESS_MAIN(tst_Pacing)
#include "tst_pacing.moc"
