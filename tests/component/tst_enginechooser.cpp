// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// Which engine a responder runs and when it moves, against engines that the test plays;
// and when the daemon engine takes a silent daemon for hung.

#include "daemon/stallwatch_p.h"
#include "enginechooser_p.h"

#include <QSignalSpy>
#include <QtTest>

using namespace QZeroConfInternal;

namespace {

class FakeEngine final : public Engine
{
public:
    FakeEngine(bool isDaemon, QList<FakeEngine *> *live) : daemon(isDaemon), m_live(live)
    {
        live->append(this);
    }
    ~FakeEngine() override { m_live->removeOne(this); }
    void start(const EngineEvents &e, StartMode m) override
    {
        events = e;
        mode = m;
    }
    QString description() const override { return QString(); }
    bool isDaemon() const override { return daemon; }
    QByteArray ownHostName() const override { return QByteArray(); }
    bool foreignNetwork() const override { return false; }
    bool stillThere() const override { return hung; }
    std::unique_ptr<EngineGroup> newGroup(GroupCallback) override { return nullptr; }
    std::unique_ptr<EngineLookup> browse(int, const QByteArray &, BrowseCallback,
                                         QString *) override
    {
        return nullptr;
    }
    std::unique_ptr<EngineLookup> resolve(int, int, const QString &, const QString &,
                                          const QString &, int, ResolveCallback, QString *) override
    {
        return nullptr;
    }

    EngineEvents events;
    StartMode mode = StartMode::Now;
    bool daemon;
    bool hung = false;

private:
    QList<FakeEngine *> *m_live;
};

} // namespace

Q_DECLARE_METATYPE(QZeroConfInternal::EngineChooser::Move)

class tst_EngineChooser : public QObject
{
    Q_OBJECT

    QList<FakeEngine *> daemons, embedded; // alive now
    int asked = 0;                         // daemon engines asked for
    bool bus = true;
    std::unique_ptr<EngineChooser> chooser;

    void makeChooser(bool withDaemon = true)
    {
        EngineChooser::DaemonFactory daemon = [this](QString *why, bool *mayAppear) {
            ++asked;
            *why = QStringLiteral("no system bus");
            *mayAppear = true;
            return bus ? std::make_unique<FakeEngine>(true, &daemons) : nullptr;
        };
        chooser.reset(new EngineChooser(withDaemon ? daemon : nullptr, [this] {
            return std::make_unique<FakeEngine>(false, &embedded);
        }));
    }

private Q_SLOTS:
    void initTestCase() { qRegisterMetaType<EngineChooser::Move>(); }
    void init()
    {
        asked = 0;
        bus = true;
    }
    void cleanup() { chooser.reset(); }

    void theDaemonWinsWhereOneAnswers()
    {
        makeChooser();
        QSignalSpy running(chooser.get(), &EngineChooser::running);
        chooser->start();
        QCOMPARE(chooser->state(), EngineChooser::State::Asking);
        daemons.last()->events.running();
        QVERIFY(running.wait(1000));
        QCOMPARE(chooser->state(), EngineChooser::State::OnDaemon);
        QVERIFY(embedded.isEmpty());
    }

    // The embedded responder stands in, a failed candidate is asked again later (after
    // twice the first wait), and the one that appears takes over.
    void aHungDaemonIsReplacedUntilOneAppears()
    {
        makeChooser();
        QSignalSpy moved(chooser.get(), &EngineChooser::moved);
        QSignalSpy running(chooser.get(), &EngineChooser::running);
        chooser->start();
        FakeEngine *first = daemons.last();
        first->events.running();
        QVERIFY(running.wait(1000));
        const EngineEvents stale = first->events;
        first->hung = true;
        first->events.failed(QStringLiteral("the mDNS daemon has not answered for 3 s"), true);
        QVERIFY(moved.wait(1000));
        QCOMPARE(moved.last().at(0).value<EngineChooser::Move>(), EngineChooser::Move::ToEmbedded);
        QCOMPARE(chooser->state(), EngineChooser::State::OnEmbedded);
        QVERIFY(chooser->besideHungDaemon());
        QCOMPARE(embedded.size(), 1);
        QCOMPARE(asked, 2); // at once
        QCOMPARE(daemons.last()->mode, StartMode::WhenAvailable);

        QElapsedTimer clock;
        clock.start();
        daemons.last()->events.failed(QStringLiteral("no answer"), false);
        QTRY_COMPARE_WITH_TIMEOUT(asked, 3, 5000);
        QVERIFY2(clock.elapsed() >= 1500, qPrintable(QString::number(clock.elapsed())));

        daemons.last()->events.appeared();
        QTRY_VERIFY(embedded.isEmpty());
        QCOMPARE(chooser->state(), EngineChooser::State::Moving);
        QCOMPARE(moved.last().at(0).value<EngineChooser::Move>(), EngineChooser::Move::ToDaemon);
        daemons.last()->events.running();
        QTRY_COMPARE(chooser->state(), EngineChooser::State::OnDaemon);
        QVERIFY(!chooser->besideHungDaemon());
        const int runs = running.count();
        stale.running(); // from the engine that was replaced: dropped
        QTest::qWait(20);
        QCOMPARE(running.count(), runs);
    }

    void withoutABusItIsLookedForAgain()
    {
        bus = false;
        makeChooser();
        QSignalSpy moved(chooser.get(), &EngineChooser::moved);
        chooser->start();
        QCOMPARE(moved.count(), 1);
        QCOMPARE(moved[0][0].value<EngineChooser::Move>(), EngineChooser::Move::ToEmbeddedAtStart);
        QCOMPARE(moved[0][2].toBool(), false); // the usual case: no warning
        QCOMPARE(chooser->state(), EngineChooser::State::OnEmbedded);
        QCOMPARE(embedded.size(), 1);
        QCOMPARE(asked, 2); // at start, and at once when the embedded one runs
        bus = true;
        QTRY_COMPARE_WITH_TIMEOUT(daemons.size(), 1, 3000);
        QCOMPARE(daemons.last()->mode, StartMode::WhenAvailable);
    }

    void theEmbeddedResponderFailingIsTheEnd()
    {
        makeChooser(false);
        QSignalSpy failed(chooser.get(), &EngineChooser::failed);
        chooser->start();
        embedded.last()->events.failed(QStringLiteral("no interface"), true);
        QVERIFY(failed.wait(1000));
        QCOMPARE(chooser->state(), EngineChooser::State::Failed);
        QVERIFY(!chooser->engine());
        QVERIFY(embedded.isEmpty());
    }

    // Checks every StallCheckMs from 0, the daemon silent throughout; one check may come
    // late, after our own event loop was held up.
    void whenASilentDaemonCountsAsHung_data()
    {
        QTest::addColumn<bool>("visible"); // its CPU time can be seen
        QTest::addColumn<bool>("busy");    // and grows
        QTest::addColumn<int>("lateBy");   // the third check comes this late; 0: none
        QTest::addColumn<int>("hungAt");
        // Idle from the first check on (750 ms), 3 s idle after it.
        QTest::newRow("idle") << true << false << 0 << 3750;
        QTest::newRow("busy") << true << true << 0 << 30000;
        QTest::newRow("unseen") << false << false << 0 << 10500;
        // The late check restarts the wait: 3 s after it, not at once.
        QTest::newRow("idle, our loop held up for 5 s") << true << false << 5000 << 9500;
        QTest::newRow("unseen, our loop held up for 5 s") << false << false << 5000 << 17000;
    }

    void whenASilentDaemonCountsAsHung()
    {
        QFETCH(bool, visible);
        QFETCH(bool, busy);
        QFETCH(int, lateBy);
        QFETCH(int, hungAt);
        StallWatch watch;
        watch.answered(0);
        watch.watching(0);
        qint64 now = 0;
        for (int check = 1; now < 40000; ++check) {
            now += check == 3 && lateBy ? lateBy : StallCheckMs;
            if (watch.check(now, !visible ? -1 : busy ? now : 7) >= 0)
                break;
        }
        QCOMPARE(now, qint64(hungAt));
    }
};

QTEST_GUILESS_MAIN(tst_EngineChooser)
#include "tst_enginechooser.moc"
