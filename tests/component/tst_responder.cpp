// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// The responder above its engines, against an engine that the test plays: what it asks
// of the engine (groups, records, commits) and what it makes of the engine's answers
// (conflicts, a daemon that goes and comes back, lookups that start over).
//
// Address records come from this machine's links: the cases move this process into a
// network namespace of its own (needs root) with one link and one IPv4 address.

#include "browser_p.h"
#include "qzeroconf"
#include "responder_p.h"
#include "runcommand.h"

#include <QSignalSpy>
#include <QtTest>

#include <sched.h>
#include <unistd.h>

using namespace QZeroConfInternal;

namespace {

QStringList warnings;

void captureWarnings(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtWarningMsg)
        warnings << text;
    if (qEnvironmentVariableIsSet("TRACE"))
        fprintf(stderr, "%s\n", qPrintable(text));
}

class FakeEngine;

class FakeGroup final : public EngineGroup
{
public:
    FakeGroup(FakeEngine *engine, GroupCallback callback);
    ~FakeGroup() override;

    void addService(int, const QByteArray &name, const QByteArray &, const QByteArray &host,
                    quint16, const TxtRecord &) override
    {
        records << QStringLiteral("%1 -> %2")
                       .arg(QString::fromUtf8(name),
                            host.isEmpty() ? QStringLiteral("(own)") : QString(host));
    }
    void addServiceSubtype(int, const QByteArray &name, const QByteArray &type,
                           const QByteArray &subtype) override
    {
        records << QStringLiteral("%1 %2 %3").arg(QString(name), QString(subtype), QString(type));
    }
    void updateServiceTxt(int, const QByteArray &name, const QByteArray &,
                          const TxtRecord &txt) override
    {
        records << QStringLiteral("%1 txt %2").arg(QString(name), QString(txt.strings().join(' ')));
    }
    void addAddress(int, int, const QByteArray &fqdn, const QHostAddress &address,
                    bool reverse) override
    {
        records << QStringLiteral("%1 %2%3").arg(QString(fqdn), address.toString(),
                                                 reverse ? QStringLiteral(" +reverse") : QString());
    }
    void commit() override;
    void reset() override
    {
        records.clear();
        m_state = GroupState::Uncommitted;
    }
    GroupState state() const override { return m_state; }

    void answer(GroupState state)
    {
        m_state = state;
        m_callback(state, QString());
    }

    QStringList records;

private:
    FakeEngine *m_engine;
    GroupCallback m_callback;
    GroupState m_state = GroupState::Uncommitted;
};

class FakeLookup final : public EngineLookup
{
public:
    explicit FakeLookup(int *live) : m_live(live) { ++*m_live; }
    ~FakeLookup() override { --*m_live; }

private:
    int *m_live;
};

class FakeEngine final : public Engine
{
public:
    void start(const EngineEvents &e, StartMode) override { events = e; }
    QString description() const override { return QStringLiteral("a test engine"); }
    bool isDaemon() const override { return daemon; }
    QByteArray ownHostName() const override { return own; }
    bool foreignNetwork() const override { return foreign; }
    std::unique_ptr<EngineGroup> newGroup(GroupCallback callback) override
    {
        return std::unique_ptr<EngineGroup>(new FakeGroup(this, std::move(callback)));
    }
    std::unique_ptr<EngineLookup> browse(int, const QByteArray &, BrowseCallback callback,
                                         QString *) override
    {
        browsing = std::move(callback);
        return std::unique_ptr<EngineLookup>(new FakeLookup(&lookups));
    }
    std::unique_ptr<EngineLookup> resolve(int, int, const QString &, const QString &,
                                          const QString &, int, ResolveCallback callback,
                                          QString *) override
    {
        resolving = std::move(callback);
        ++resolves;
        return std::unique_ptr<EngineLookup>(new FakeLookup(&lookups));
    }
    ResolveCallback resolving;
    int resolves = 0;

    // What the groups hold: services ("name -> target") or addresses ("fqdn address").
    QStringList held(bool services) const
    {
        QStringList result;
        for (const FakeGroup *g : groups) {
            for (const QString &r : g->records) {
                if (r.contains(QLatin1String(" -> ")) == services)
                    result << r;
            }
        }
        result.sort();
        return result;
    }
    FakeGroup *holding(const QString &record) const
    {
        for (FakeGroup *g : groups) {
            if (g->records.contains(record))
                return g;
        }
        return nullptr;
    }
    void found(const char *name, BrowseEvent event = BrowseEvent::New)
    {
        browsing(event, 2, IPv4, QString::fromUtf8(name), QStringLiteral("_printer._tcp"),
                 QStringLiteral("local"));
    }

    EngineEvents events;
    QList<FakeGroup *> groups;
    BrowseCallback browsing;
    int commits = 0;
    int lookups = 0;
    bool daemon = false;
    bool foreign = false;
    QByteArray own;
};

FakeGroup::FakeGroup(FakeEngine *engine, GroupCallback callback)
    : m_engine(engine), m_callback(std::move(callback))
{
    engine->groups << this;
}

FakeGroup::~FakeGroup()
{
    m_engine->groups.removeOne(this);
}

void FakeGroup::commit()
{
    m_state = GroupState::Registering;
    ++m_engine->commits;
}

PublishRequest request(const char *name, const char *host)
{
    PublishRequest r;
    r.name = name;
    r.type = "_printer._tcp";
    r.hostLabel = host;
    r.port = 5853;
    return r;
}

} // namespace

class tst_Responder : public QObject
{
    Q_OBJECT

    FakeEngine *engine = nullptr; // owned by responder
    std::shared_ptr<Responder> responder;

    void startEngine(bool daemon = false, bool foreign = false)
    {
        engine = new FakeEngine;
        engine->daemon = daemon;
        engine->foreign = foreign;
        engine->own = daemon ? "avahihost" : "";
        responder = Responder::onEngine(std::unique_ptr<Engine>(engine));
        engine->events.running();
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0)
            QSKIP("needs root, for a network namespace of its own");
        QVERIFY(runCommand("ip", {"link", "set", "lo", "up"}));
        QVERIFY(runCommand("ip", {"link", "add", "eth0", "type", "veth", "peer", "name", "eth0p"}));
        for (const char *link : {"eth0", "eth0p"})
            QVERIFY(runCommand("sysctl", {"-qw", QStringLiteral("net.ipv6.conf.%1.disable_ipv6=1")
                                                     .arg(QLatin1String(link))}));
        QVERIFY(runCommand("ip", {"addr", "add", "10.9.0.1/24", "dev", "eth0"}));
        QVERIFY(runCommand("ip", {"link", "set", "eth0", "up"}));
        QVERIFY(runCommand("ip", {"link", "set", "eth0p", "up"}));
        qInstallMessageHandler(captureWarnings);
    }

    void init() { warnings.clear(); }

    void cleanup()
    {
        responder.reset();
        engine = nullptr;
    }

    void theLastPublicationsMayGoWhenTold()
    {
        // A program that stops from servicePublished: its publications, and with them the
        // responder, go from inside the event that tells them.
        startEngine();
        std::unique_ptr<Publication> first = responder->publish(request("A", "printer1"));
        std::unique_ptr<Publication> second = responder->publish(request("B", "printer1"));
        QTRY_COMPARE(engine->commits, 3);
        bool firstTold = false, secondTold = false;
        first->setListener([&](Publication::Outcome, const QString &) {
            firstTold = true;
            second.reset(); // due to be told in the same event
            first.reset();
        });
        second->setListener([&](Publication::Outcome, const QString &) { secondTold = true; });
        engine->holding(QStringLiteral("A -> printer1.local"))->answer(GroupState::Established);
        engine->holding(QStringLiteral("B -> printer1.local"))->answer(GroupState::Established);
        engine = nullptr;
        responder.reset(); // held by the publications alone now
        QTRY_VERIFY(firstTold);
        QVERIFY(!secondTold);
    }

    void servicesShareTheirHostAndGoOneByOne()
    {
        startEngine();
        std::unique_ptr<Publication> a = responder->publish(request("A", "printer1"));
        std::unique_ptr<Publication> b = responder->publish(request("B", "printer1"));
        std::unique_ptr<Publication> c = responder->publish(request("C", "printer2"));
        // Published in one turn: committed in one turn, the host records with them.
        QCOMPARE(engine->commits, 0);
        QTRY_COMPARE(engine->commits, 5);
        QCOMPARE(engine->held(true), QStringList({"A -> printer1.local", "B -> printer1.local",
                                                  "C -> printer2.local"}));
        QCOMPARE(engine->held(false),
                 QStringList({"printer1.local 10.9.0.1 +reverse", "printer2.local 10.9.0.1"}));

        int established = 0;
        b->setListener([&](Publication::Outcome o, const QString &) {
            established += o == Publication::Outcome::Established;
        });
        engine->holding(QStringLiteral("B -> printer1.local"))->answer(GroupState::Established);
        QCOMPARE(established, 0); // not from inside the engine's callback
        QTRY_COMPARE_WITH_TIMEOUT(established, 1, 1000);

        a.reset();
        QCOMPARE(engine->held(true), QStringList({"B -> printer1.local", "C -> printer2.local"}));
        QCOMPARE(engine->held(false).size(), 2);
        b.reset();
        QCOMPARE(engine->held(false), QStringList({"printer2.local 10.9.0.1"}));
        QVERIFY(warnings.isEmpty());
    }

    void conflictsRenameTheHostForAllAndTheServiceForItself()
    {
        startEngine();
        std::unique_ptr<Publication> a = responder->publish(request("Office", "printer1"));
        std::unique_ptr<Publication> b = responder->publish(request("Office", "printer1"));
        QTRY_COMPARE(engine->commits, 3);

        // A second service of the same name: this engine says so as a collision.
        engine->groups.last()->answer(GroupState::Collision);
        QTRY_COMPARE(engine->held(true),
                     QStringList({"Office #2 -> printer1.local", "Office -> printer1.local"}));
        QCOMPARE(warnings.size(), 1);
        QVERIFY(warnings[0].contains(QLatin1String("announcing as \"Office #2\"")));

        engine->holding(QStringLiteral("printer1.local 10.9.0.1 +reverse"))
            ->answer(GroupState::Collision);
        QTRY_COMPARE(engine->held(false), QStringList({"printer1-2.local 10.9.0.1 +reverse"}));
        QTRY_COMPARE(engine->held(true),
                     QStringList({"Office #2 -> printer1-2.local", "Office -> printer1-2.local"}));
        QCOMPARE(warnings.size(), 2);
        QVERIFY(warnings[1].contains(QLatin1String("using \"printer1-2.local\"")));
        // A later service that asks for the same host goes where the others went.
        std::unique_ptr<Publication> c = responder->publish(request("Den", "printer1"));
        QTRY_VERIFY(engine->held(true).contains(QLatin1String("Den -> printer1-2.local")));
    }

    // How the application hears that a publication is over. Renames come seconds apart
    // on the pacer's clock here: none waits for a round.
    void whatEndsAPublication_data()
    {
        QTest::addColumn<int>("conflicts");
        QTest::addColumn<int>("standsAfter"); // the name stood after this many; -1: never
        QTest::addColumn<bool>("refused");    // then the engine refuses it
        QTest::addColumn<int>("error");
        QTest::newRow("64 names taken in a row")
            << Publication::MaxRenames << -1 << false << int(QZeroConf::serviceNameCollision);
        QTest::newRow("counted again once a name stood")
            << Publication::MaxRenames << 1 << false << int(QZeroConf::noError);
        QTest::newRow("refused") << 0 << -1 << true << int(QZeroConf::serviceRegistrationFailed);
    }

    void whatEndsAPublication()
    {
        QFETCH(int, conflicts);
        QFETCH(int, standsAfter);
        QFETCH(bool, refused);
        QFETCH(int, error);
        startEngine();
        responder->pacer().setClock([now = qint64(0)]() mutable { return now += 1000; });
        QZeroConf zc;
        QSignalSpy errors(&zc, &QZeroConf::error);
        zc.startServicePublish("Office", "_printer._tcp", "printer1", 5853);
        const auto service = [this]() -> FakeGroup * {
            for (FakeGroup *g : engine->groups) {
                if (g->records.size() == 1 && g->records[0].contains(QLatin1String(" -> ")) &&
                    g->state() == GroupState::Registering)
                    return g;
            }
            return nullptr;
        };
        for (int i = 0; i < conflicts; ++i) {
            QTRY_VERIFY(service());
            FakeGroup *group = service();
            if (i == standsAfter) {
                group->answer(GroupState::Established);
                QTRY_VERIFY(!zc.publishedName().isEmpty());
            }
            group->answer(GroupState::Collision);
        }
        if (refused) {
            QTRY_VERIFY(service());
            service()->answer(GroupState::Failure);
        }
        if (error == QZeroConf::noError) {
            QTRY_VERIFY(service()); // renamed once more
            QCOMPARE(errors.count(), 0);
            return;
        }
        QTRY_COMPARE(errors.count(), 1);
        QCOMPARE(int(errors[0][0].value<QZeroConf::error_t>()), error);
        QVERIFY(!service());
    }

    void aDaemonThatGoesAndComesBackOrNot()
    {
        startEngine(true);
        std::unique_ptr<Publication> a = responder->publish(request("A", ""));
        std::unique_ptr<Publication> b = responder->publish(request("B", "printer1"));
        QTRY_COMPARE(engine->held(true), QStringList({"A -> (own)", "B -> printer1.local"}));
        // The daemon answers reverse lookups for its own name.
        QCOMPARE(engine->held(false), QStringList({"printer1.local 10.9.0.1"}));

        engine->events.away();
        QTRY_VERIFY(engine->groups.isEmpty());
        engine->events.back();
        engine->events.running();
        QTRY_COMPARE(engine->held(true), QStringList({"A -> (own)", "B -> printer1.local"}));
        QCOMPARE(warnings, QStringList({"the mDNS daemon is back; announcing \"A\", \"B\" "
                                        "through it again"}));

        // Gone for good: the same services move to the embedded responder.
        int established = 0;
        a->setListener([&](Publication::Outcome o, const QString &) {
            established += o == Publication::Outcome::Established;
        });
        engine->events.failed(QStringLiteral("the mDNS daemon has been away for 5 s"), true);
        QTRY_COMPARE(warnings.size(), 2);
        QCOMPARE(warnings[1], QStringLiteral("the mDNS daemon has been away for 5 s; announcing "
                                             "\"A\", \"B\" on our own"));
        engine = nullptr; // replaced
        QTRY_COMPARE_WITH_TIMEOUT(established, 1, 5000);
    }

    void aDaemonOnAnotherNetworkGetsNoAddressesOfOurs()
    {
        startEngine(true, true);
        std::unique_ptr<Publication> a = responder->publish(request("A", "printer1"));
        QTRY_COMPARE(engine->held(true), QStringList({"A -> (own)"}));
        QCOMPARE(engine->held(false), QStringList());
        QCOMPARE(warnings.size(), 1);
        QVERIFY(warnings[0].contains(QLatin1String("another network")));
    }

    void aFailedResolveIsTriedAgain()
    {
        // A daemon's resolver that timed out reports nothing more: while the instance is
        // listed, it is resolved again.
        startEngine(true);
        Browser browser(responder, "_printer._tcp", AnyProtocol);
        browser.start();
        QTRY_VERIFY(engine->browsing);
        engine->found("Kept");
        QCOMPARE(engine->resolves, 1);
        engine->resolving(false, ResolvedService());
        QTRY_COMPARE_WITH_TIMEOUT(engine->resolves, 2, 3000);
        QCOMPARE(engine->lookups, 2); // the failed one freed
    }

    void aBrowserStartsOverWhenTheEngineComesBack()
    {
        startEngine(true);
        Browser browser(responder, "_printer._tcp", AnyProtocol);
        QSignalSpy lost(&browser, &Browser::lost);
        browser.start();
        QTRY_VERIFY(engine->browsing);
        engine->found("Kept");
        engine->found("Gone");
        QCOMPARE(engine->lookups, 3);

        engine->events.away();
        QTRY_COMPARE(engine->lookups, 0);
        engine->events.running();
        QTRY_COMPARE(engine->lookups, 1);
        engine->found("Kept");
        engine->found("", BrowseEvent::AllForNow);
        QVERIFY(lost.wait(1000));
        QCOMPARE(lost.count(), 1);
        QVERIFY(lost[0][0].toString().startsWith(QLatin1String("Gone\n")));

        engine->found("Kept", BrowseEvent::Remove);
        QCOMPARE(lost.count(), 1); // not from inside the engine's callback
        QVERIFY(lost.wait(1000));
        QCOMPARE(engine->lookups, 1);
    }
};

QTEST_GUILESS_MAIN(tst_Responder)
#include "tst_responder.moc"
