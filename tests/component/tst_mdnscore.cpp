// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// The responder's protocol rules (RFC 6762), one scenario each, on a fake clock and
// transport: what goes out, when, and to whom.

#include "mdns/core_p.h"
#include "mdns/fakeseam_p.h"
#include "mdns/mdnsengine_p.h"

#include <QtTest>

#include <memory>

using namespace QZeroConfInternal;
using namespace QZeroConfInternal::Mdns;

namespace {

const QByteArray type = nameFromDotted("_ipp._tcp.local");
const QByteArray instance = prependLabel("Office", type);
const QByteArray host = nameFromDotted("printer.local");
const QHostAddress ours(QStringLiteral("10.0.0.5"));
const QHostAddress peer(QStringLiteral("10.0.0.9"));

struct Out
{
    qint64 at;
    QHostAddress to;
    quint16 port;
    Message m;
};

Record rec(const QByteArray &name, quint16 rtype, const QByteArray &rdata, quint32 ttl = 120)
{
    Record r;
    r.name = name;
    r.type = rtype;
    r.rdata = rdata;
    r.ttl = ttl;
    return r;
}

QByteArray query(const QVector<Question> &questions, const QVector<Record> &known = {},
                 const QVector<Record> &authorities = {}, quint16 flags = 0, quint16 id = 0)
{
    MessageWriter w(id, flags, MaxMessageSize);
    for (const Question &q : questions)
        w.add(q);
    for (const Record &r : known)
        w.add(Section::Answer, r);
    for (const Record &r : authorities)
        w.add(Section::Authority, r);
    return w.message();
}

QByteArray response(const QVector<Record> &answers)
{
    return query({}, answers, {}, FlagResponse | FlagAuthoritative);
}

bool holds(const QVector<Record> &list, quint16 rtype, const QByteArray &name = {})
{
    return std::any_of(list.begin(), list.end(), [&](const Record &r) {
        return r.type == rtype && (name.isEmpty() || sameName(r.name, name));
    });
}

} // namespace

Q_DECLARE_METATYPE(QZeroConfInternal::GroupState)
Q_DECLARE_METATYPE(QVector<QZeroConfInternal::Mdns::Question>)

class tst_MdnsCore : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeClock> clock;
    std::unique_ptr<FakeTransport> transport;
    std::unique_ptr<Core> core;
    Core::GroupId group = 0;
    QList<GroupState> states;

    // A printer service with its host's address, committed on interface 1.
    void publish(int services = 1, quint16 port = 631)
    {
        if (!group)
            group = core->newGroup([this](GroupState s, const QString &) { states << s; });
        for (int i = 0; i < services; ++i) {
            const QByteArray name =
                i ? prependLabel("Office " + QByteArray::number(i), type) : instance;
            core->addService(group, 1, name, type, host, port,
                             TxtRecord::fromStrings({"rp=print"}));
        }
        core->addSubtype(group, 1, instance, type, "_color");
        core->addAddress(group, 1, AnyProtocol, host, ours, true);
        core->commit(group);
    }
    // Probed and announced, and quiet for long enough that every record may go again.
    void established()
    {
        publish();
        clock->advance(250 + 3 * 250 + 3000 + 1100);
        QCOMPARE(core->state(group), GroupState::Established);
    }
    QVector<Out> sent(qint64 since = 0) const
    {
        QVector<Out> out;
        for (const FakeTransport::Sent &s : transport->sent) {
            Message m;
            if (s.at >= since && parseMessage(s.data, &m))
                out.append(Out{s.at, s.to, s.port, m});
        }
        return out;
    }
    void deliver(const QByteArray &packet, quint16 port = MdnsPort, int interfaceIndex = 1)
    {
        transport->deliver(packet, peer, interfaceIndex, port);
    }

private Q_SLOTS:
    void init()
    {
        core.reset(); // before the seam it uses
        group = 0;
        clock.reset(new FakeClock);
        transport.reset(new FakeTransport(*clock));
        core.reset(new Core(*clock, *transport, 42));
        core->setLinks({Link{1, {LinkAddress{ours, 24}}}});
        states.clear();
    }

    void probesThenAnnouncements()
    {
        const qint64 start = clock->now();
        publish();
        clock->advance(6000);
        const QVector<Out> out = sent();
        QVERIFY(out.size() >= 5);
        // Section 8.1: three probes 250 ms apart after at most 250 ms, every name in one.
        QVERIFY(out[0].at - start <= 250);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(!out[i].m.isResponse());
            QCOMPARE(out[i].m.questions.size(), 3); // instance, host, reverse name
            QCOMPARE(out[i].m.authorities.size(), 4);
            QVERIFY(!out[i].m.authorities[0].cacheFlush);
            if (i)
                QCOMPARE(out[i].at - out[i - 1].at, qint64(250));
        }
        // Section 8.3: announcements, the interval doubling; cache-flush on unique
        // records only; the type listed under _services.
        QCOMPARE(out.size(), 6);
        QCOMPARE(out[4].at - out[3].at, qint64(1000));
        QCOMPARE(out[5].at - out[4].at, qint64(2000));
        for (const Record &r : out[3].m.answers)
            QCOMPARE(r.cacheFlush, r.type != TypePTR || r.name.contains("arpa"));
        QVERIFY(holds(out[3].m.answers, TypePTR, nameFromDotted("_services._dns-sd._udp.local")));
        QCOMPARE(states, (QList<GroupState>{GroupState::Registering, GroupState::Established}));
    }

    void groupsDueTogetherShareProbes()
    {
        publish();
        const Core::GroupId other = core->newGroup(nullptr);
        core->addAddress(other, 1, AnyProtocol, nameFromDotted("scanner.local"),
                         QHostAddress(QStringLiteral("10.0.0.6")), false);
        core->commit(other);
        clock->advance(6000);
        const QVector<Out> out = sent();
        QCOMPARE(out.size(), 6); // three probes, three announcements, for both
        QCOMPARE(out[0].m.questions.size(), 4);
        QVERIFY(holds(out[3].m.answers, TypeA, nameFromDotted("scanner.local")));
        QCOMPARE(core->state(other), GroupState::Established);
    }

    void responsesWhileProbing_data()
    {
        QTest::addColumn<int>("after");
        QTest::addColumn<bool>("otherData");
        QTest::addColumn<GroupState>("state");
        // Section 8.1: before the first probe, a conflicting response is not heeded.
        QTest::newRow("before the first probe") << 0 << true << GroupState::Established;
        QTest::newRow("other data while probing") << 300 << true << GroupState::Collision;
        QTest::newRow("our data, as a second interface sends it")
            << 300 << false << GroupState::Established;
        // Section 9: later, probing again decides; nobody defends here, so it holds.
        QTest::newRow("other data once established") << 5000 << true << GroupState::Established;
    }

    void responsesWhileProbing()
    {
        QFETCH(int, after);
        QFETCH(bool, otherData);
        QFETCH(GroupState, state);
        publish();
        clock->advance(after);
        const int before = sent().size();
        deliver(response({rec(instance, TypeSRV, srvData(0, 0, otherData ? 632 : 631, host))}));
        clock->advance(10000);
        QCOMPARE(core->state(group), state);
        QCOMPARE(states.count(GroupState::Registering), 1); // probing again is no news
        if (after == 5000)
            QCOMPARE(sent(clock->now() - 10000).first().m.authorities.size(), 4); // probes again
        if (after == 0)
            QCOMPARE(before, 0);
    }

    void conflictWhileProbingAgain()
    {
        // Section 9: conflicting data sends an established group back to probing; the
        // same data defended during those probes means the name is taken.
        established();
        const QByteArray other = response({rec(instance, TypeSRV, srvData(0, 0, 632, host))});
        deliver(other);
        clock->advance(300);
        deliver(other);
        clock->advance(10000);
        QCOMPARE(core->state(group), GroupState::Collision);
    }

    void ownPacketsComingBack_data()
    {
        QTest::addColumn<bool>("announcement");
        // Section 8.2: a switch echoes our probe, or our announcement, late, after our
        // data changed: it is ours, neither a tie-break nor a conflict.
        QTest::newRow("probe") << false;
        QTest::newRow("announcement") << true;
    }

    void ownPacketsComingBack()
    {
        QFETCH(bool, announcement);
        publish(1, 632);
        clock->advance(announcement ? 5000 : 260);
        const QVector<Out> before = sent();
        const auto old = std::find_if(before.begin(), before.end(), [&](const Out &o) {
            return o.m.isResponse() == announcement;
        });
        const QByteArray echo = transport->sent[int(old - before.begin())].data;
        core->reset(group);
        publish(1, 631);
        clock->advance(clock->wake() - clock->now()); // the first new probe
        const qint64 first = clock->now();
        deliver(echo);
        clock->advance(10000);
        QCOMPARE(core->state(group), GroupState::Established);
        QCOMPARE(sent(first)[1].at - first, qint64(250));
    }

    void probesSlowDownAfterManyConflicts()
    {
        // Section 8.1: fifteen conflicts within ten seconds, then five seconds a probe.
        const QByteArray taken =
            response({rec(instance, TypeSRV, srvData(0, 0, 9, nameFromDotted("x.local")))});
        for (int i = 0; i < 15; ++i) {
            publish();
            clock->advance(clock->wake() - clock->now());
            deliver(taken);
            QCOMPARE(core->state(group), GroupState::Collision);
            core->reset(group);
        }
        const qint64 start = clock->now();
        publish();
        clock->advance(clock->wake() - clock->now());
        QCOMPARE(sent().last().at - start, qint64(5000));
    }

    void simultaneousProbe_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<qint64>("gap");
        QTest::addColumn<int>("probes");
        // Section 8.2: the lexicographically later data wins; the loser waits 1 s and
        // probes again from the start.
        QTest::newRow("theirs later: we defer") << 632 << qint64(1000) << 4;
        QTest::newRow("theirs earlier: we go on") << 630 << qint64(250) << 3;
    }

    void simultaneousProbe()
    {
        QFETCH(int, port);
        QFETCH(qint64, gap);
        QFETCH(int, probes);
        publish();
        clock->advance(clock->wake() - clock->now()); // the first probe
        const qint64 first = clock->now();
        deliver(query({Question{instance, TypeANY, ClassIN, false}}, {},
                      {rec(instance, TypeSRV, srvData(0, 0, quint16(port), host)),
                       rec(instance, TypeTXT, txtData({"rp=print"}), 4500)}));
        clock->advance(3000);
        const QVector<Out> out = sent();
        QCOMPARE(out[1].at - first, gap);
        QCOMPARE(
            std::count_if(out.begin(), out.end(), [](const Out &o) { return !o.m.isResponse(); }),
            probes);
    }

    void replyTiming_data()
    {
        QTest::addColumn<QVector<Question>>("questions");
        QTest::addColumn<quint16>("flags");
        QTest::addColumn<int>("low");
        QTest::addColumn<int>("high");
        QTest::addColumn<int>("answers");
        const Question srv{instance, TypeSRV, ClassIN, false};
        const Question ptr{type, TypePTR, ClassIN, false};
        // Section 6: unique answers at once, shared ones after 20-120 ms; several
        // questions answered in one reply; section 7.2: 400-500 ms after a TC query.
        QTest::newRow("unique") << QVector<Question>{srv} << quint16(0) << 0 << 0 << 1;
        QTest::newRow("shared") << QVector<Question>{ptr} << quint16(0) << 20 << 120 << 1;
        QTest::newRow("both") << QVector<Question>{srv, ptr} << quint16(0) << 20 << 120 << 2;
        QTest::newRow("truncated") << QVector<Question>{ptr} << FlagTruncated << 400 << 500 << 1;
    }

    void replyTiming()
    {
        QFETCH(QVector<Question>, questions);
        QFETCH(quint16, flags);
        QFETCH(int, low);
        QFETCH(int, high);
        QFETCH(int, answers);
        established();
        const qint64 asked = clock->now();
        deliver(query(questions, {}, {}, flags));
        clock->advance(600);
        const QVector<Out> out = sent(asked);
        QCOMPARE(out.size(), 1);
        QVERIFY2(out[0].at - asked >= low && out[0].at - asked <= high,
                 qPrintable(QString::number(out[0].at - asked)));
        QCOMPARE(out[0].to, mdnsGroup(false));
        QCOMPARE(out[0].m.answers.size(), answers);
    }

    void sharedDelayDrawnForEachReply()
    {
        established();
        QSet<qint64> delays;
        for (int i = 0; i < 6; ++i) {
            const qint64 asked = clock->now();
            deliver(query({Question{type, TypePTR, ClassIN, false}}));
            clock->advance(1200);
            delays << sent(asked).first().at - asked;
        }
        QVERIFY(delays.size() > 1);
    }

    void suppressed_data()
    {
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<QByteArray>("followUp");
        QTest::addColumn<bool>("answered");
        const Question ptr{type, TypePTR, ClassIN, false};
        const Record known = rec(type, TypePTR, instance, 4500);
        Record stale = known;
        stale.ttl = 2000;
        // Section 7.1: a known answer with at least half our TTL suppresses ours.
        QTest::newRow("known answer") << query({ptr}, {known}) << QByteArray() << false;
        QTest::newRow("known answer near expiry") << query({ptr}, {stale}) << QByteArray() << true;
        // Section 7.2: more known answers in a packet that follows the truncated one.
        QTest::newRow("known answer after TC")
            << query({ptr}, {}, {}, FlagTruncated) << query({}, {known}) << false;
        // Section 7.4: another responder answered while our reply waited.
        QTest::newRow("answered by another") << query({ptr}) << response({known}) << false;
    }

    void suppressed()
    {
        QFETCH(QByteArray, query);
        QFETCH(QByteArray, followUp);
        QFETCH(bool, answered);
        established();
        const qint64 asked = clock->now();
        deliver(query);
        clock->advance(10);
        if (!followUp.isEmpty())
            deliver(followUp);
        clock->advance(600);
        QCOMPARE(!sent(asked).isEmpty(), answered);
    }

    void rateLimit_data()
    {
        QTest::addColumn<bool>("probe");
        QTest::addColumn<int>("gap");
        QTest::addColumn<int>("replies");
        // Section 6: once a second per record; a probe defence every 250 ms.
        QTest::newRow("query again within a second") << false << 500 << 1;
        QTest::newRow("query again after a second") << false << 1100 << 2;
        QTest::newRow("probe again after 300 ms") << true << 300 << 2;
    }

    void rateLimit()
    {
        QFETCH(bool, probe);
        QFETCH(int, gap);
        QFETCH(int, replies);
        established();
        const qint64 asked = clock->now();
        const QVector<Record> proposed = {rec(host, TypeA, addressData(peer))};
        const QByteArray packet = query({Question{host, probe ? TypeANY : TypeA, ClassIN, false}},
                                        {}, probe ? proposed : QVector<Record>());
        deliver(packet);
        clock->advance(gap);
        deliver(packet);
        clock->advance(200);
        QCOMPARE(sent(asked).size(), replies);
    }

    void additionalsLeaveTheRateLimitAlone()
    {
        // The address that came along with an SRV is still answered at once on its own.
        established();
        const qint64 asked = clock->now();
        deliver(query({Question{instance, TypeSRV, ClassIN, false}}));
        deliver(query({Question{host, TypeA, ClassIN, false}}));
        const QVector<Out> out = sent(asked);
        QCOMPARE(out.size(), 2);
        QVERIFY(holds(out[0].m.additionals, TypeA, host));
        QVERIFY(holds(out[1].m.answers, TypeA, host));
    }

    void unicastReplies_data()
    {
        QTest::addColumn<bool>("qu");
        QTest::addColumn<quint16>("port");
        QTest::addColumn<int>("quiet");
        QTest::addColumn<bool>("unicast");
        // Section 5.4: QU is answered by unicast unless the record was not multicast
        // within a quarter of its TTL (SRV: 120 s); section 6.7: legacy unicast.
        QTest::newRow("QU, multicast lately") << true << MdnsPort << 0 << true;
        QTest::newRow("QU, not multicast for 31 s") << true << MdnsPort << 31000 << false;
        QTest::newRow("legacy") << false << quint16(40000) << 0 << true;
    }

    void unicastReplies()
    {
        QFETCH(bool, qu);
        QFETCH(quint16, port);
        QFETCH(int, quiet);
        QFETCH(bool, unicast);
        established();
        clock->advance(quiet);
        const qint64 asked = clock->now();
        deliver(query({Question{instance, TypeSRV, ClassIN, qu}}, {}, {}, 0, 0x1234), port);
        const QVector<Out> out = sent(asked);
        QCOMPARE(out.size(), 1);
        QCOMPARE(out[0].to, unicast ? peer : mdnsGroup(false));
        QCOMPARE(out[0].port, unicast ? port : MdnsPort);
        const bool legacy = port != MdnsPort;
        QCOMPARE(out[0].m.id, quint16(legacy ? 0x1234 : 0));
        QCOMPARE(out[0].m.questions.size(), legacy ? 1 : 0);
        QCOMPARE(out[0].m.answers[0].ttl, legacy ? 10u : 120u);
        QCOMPARE(out[0].m.answers[0].cacheFlush, !legacy);
        QVERIFY(holds(out[0].m.additionals, TypeA, host));
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<quint16>("qtype");
        QTest::addColumn<quint16>("rtype");
        QTest::addColumn<QByteArray>("rdata");
        // Section 6.1: NSEC for a type a name of ours lacks; RFC 6763 sections 9 and 7.1:
        // the type enumeration, subtypes; reverse mapping of our address.
        QTest::newRow("NSEC for the host")
            << host << quint16(TypeAAAA) << quint16(TypeNSEC) << nsecData(host, {TypeA});
        QTest::newRow("NSEC for the instance") << instance << quint16(TypeA) << quint16(TypeNSEC)
                                               << nsecData(instance, {TypeSRV, TypeTXT});
        QTest::newRow("service types") << nameFromDotted("_services._dns-sd._udp.local")
                                       << quint16(TypePTR) << quint16(TypePTR) << type;
        QTest::newRow("subtype") << prependLabel("_color", prependLabel("_sub", type))
                                 << quint16(TypePTR) << quint16(TypePTR) << instance;
        QTest::newRow("reverse") << reverseName(ours) << quint16(TypePTR) << quint16(TypePTR)
                                 << host;
    }

    void answers()
    {
        QFETCH(QByteArray, name);
        QFETCH(quint16, qtype);
        QFETCH(quint16, rtype);
        QFETCH(QByteArray, rdata);
        established();
        const qint64 asked = clock->now();
        deliver(query({Question{name, qtype, ClassIN, false}}));
        clock->advance(200);
        const QVector<Out> out = sent(asked);
        QCOMPARE(out.size(), 1);
        QCOMPARE(out[0].m.answers.size(), 1);
        QCOMPARE(out[0].m.answers[0].type, rtype);
        QCOMPARE(out[0].m.answers[0].rdata, rdata);
    }

    void sharedAnswerBringsItsRecords()
    {
        established();
        const qint64 asked = clock->now();
        deliver(query({Question{type, TypePTR, ClassIN, false}}));
        clock->advance(200);
        const QVector<Record> extra = sent(asked).first().m.additionals;
        QVERIFY(holds(extra, TypeSRV, instance) && holds(extra, TypeTXT, instance));
        QVERIFY(holds(extra, TypeA, host));
    }

    void largeAnswerSplit()
    {
        publish(80);
        clock->advance(250 + 3 * 250 + 3000 + 1100);
        const qint64 asked = clock->now();
        deliver(query({Question{type, TypePTR, ClassIN, false}}));
        clock->advance(200);
        const QVector<Out> out = sent(asked);
        QVERIFY(out.size() > 1);
        int ptrs = 0;
        for (int i = 0; i < out.size(); ++i) {
            QVERIFY(transport->sent[transport->sent.size() - out.size() + i].data.size() <=
                    PreferredMessageSize);
            ptrs += int(std::count_if(out[i].m.answers.begin(), out[i].m.answers.end(),
                                      [](const Record &r) { return r.type == TypePTR; }));
        }
        QCOMPARE(ptrs, 80);
    }

    void burstsArePaced()
    {
        // Two thousand services: their first announcement is many packets, of which a
        // burst goes at once and the rest a millisecond apart, none lost.
        publish(2000);
        clock->advance(250 + 3 * 250 + 600);
        QMap<qint64, int> perMs;
        int srv = 0;
        for (const Out &o : sent()) {
            ++perMs[o.at];
            srv += int(std::count_if(o.m.answers.begin(), o.m.answers.end(),
                                     [](const Record &r) { return r.type == TypeSRV; }));
        }
        QVERIFY(*std::max_element(perMs.begin(), perMs.end()) <= 32);
        QCOMPARE(srv, 2000);
    }

    void goodbyes()
    {
        established();
        const qint64 before = clock->now();
        core->reset(group);
        const QVector<Out> out = sent(before);
        QCOMPARE(out.size(), 1);
        for (const Record &r : out[0].m.answers)
            QCOMPARE(r.ttl, 0u);
        QVERIFY(holds(out[0].m.answers, TypePTR, nameFromDotted("_services._dns-sd._udp.local")));
        QCOMPARE(out[0].m.answers.size(), 7);
    }

    void chosenInterfacesAndBothVersions()
    {
        core->setLinks({Link{
            1, {LinkAddress{ours, 24}, LinkAddress{QHostAddress(QStringLiteral("fe80::5")), 64}}}});
        established();
        QCOMPARE(transport->joined.size(), 1);
        QVERIFY(transport->joined[0].ipv4 && transport->joined[0].ipv6);
        QVERIFY(std::any_of(transport->sent.begin(), transport->sent.end(),
                            [](const FakeTransport::Sent &s) { return s.to == mdnsGroup(true); }));
        const qint64 asked = clock->now();
        deliver(query({Question{instance, TypeSRV, ClassIN, false}}), MdnsPort, 2);
        QVERIFY(sent(asked).isEmpty());
    }

    void browseQueriesAgainDoubling()
    {
        const qint64 start = clock->now();
        core->browse(type, AnyProtocol, [](BrowseEvent, int, bool, const QByteArray &) {});
        clock->advance(20000);
        const QVector<Out> out = sent();
        // Section 5.2: after 20-120 ms, then one second, doubling.
        QVERIFY(out.size() >= 5);
        QVERIFY(out[0].at - start >= 20 && out[0].at - start <= 120);
        for (int i = 1; i < 5; ++i)
            QCOMPARE(out[i].at - out[i - 1].at, qint64(1000) << (i - 1));
        // Section 7.1: what it holds goes along as known answers.
        deliver(response({rec(type, TypePTR, instance, 4500)}));
        clock->advance(20000);
        QVERIFY(holds(sent(clock->now() - 20000).last().m.answers, TypePTR, type));
    }

    void browseReportsRemovals_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<int>("times");
        QTest::addColumn<int>("removedAfter");
        Record goodbye = rec(type, TypePTR, instance, 0);
        const QByteArray question = query({Question{type, TypePTR, ClassIN, false}});
        // Section 10.1: a goodbye removes it a second later; section 10.5: two queries
        // that nobody answers remove it ten seconds later; else its TTL does.
        QTest::newRow("goodbye") << response({goodbye}) << 1 << 1000;
        QTest::newRow("unanswered queries") << question << 2 << 10000;
        QTest::newRow("expiry") << QByteArray() << 0 << 60000;
    }

    void browseReportsRemovals()
    {
        QFETCH(QByteArray, packet);
        QFETCH(int, times);
        QFETCH(int, removedAfter);
        QStringList events;
        core->browse(type, AnyProtocol, [&](BrowseEvent e, int, bool, const QByteArray &name) {
            if (e != BrowseEvent::AllForNow)
                events << QString::number(int(e)) + nameToString(name);
        });
        deliver(response({rec(type, TypePTR, instance, 60)}));
        QCOMPARE(events, QStringList{QStringLiteral("0Office._ipp._tcp.local.")});
        for (int i = 0; i < times; ++i)
            deliver(packet);
        clock->advance(removedAfter - 100);
        QCOMPARE(events.size(), 1);
        clock->advance(200);
        QCOMPARE(events.last(), QStringLiteral("1Office._ipp._tcp.local."));
    }

    void laterBrowseHearsWhatIsCached()
    {
        core->browse(type, AnyProtocol, [](BrowseEvent, int, bool, const QByteArray &) {});
        deliver(response({rec(type, TypePTR, instance, 4500)}));
        QList<QByteArray> found;
        core->browse(type, AnyProtocol, [&](BrowseEvent e, int, bool, const QByteArray &name) {
            if (e == BrowseEvent::New)
                found << name;
        });
        clock->advance(0);
        QCOMPARE(found, QList<QByteArray>{instance});
    }

    void resolveFollowsChanges()
    {
        QList<Querier::Resolution> got;
        core->resolve(1, AnyProtocol, instance, AnyProtocol,
                      [&](bool found, const Querier::Resolution &r) {
                          got << (found ? r : Querier::Resolution());
                      });
        clock->advance(10);
        QCOMPARE(sent().first().m.questions.size(), 2); // SRV and TXT
        Record srv = rec(instance, TypeSRV, srvData(0, 0, 631, host));
        srv.cacheFlush = true;
        deliver(response({srv, rec(instance, TypeTXT, txtData({"rp=print"})),
                          rec(host, TypeA, addressData(peer))}));
        QCOMPARE(got.size(), 1);
        QCOMPARE(got[0].port, quint16(631));
        QCOMPARE(got[0].address, peer);
        QCOMPARE(got[0].txt, QList<QByteArray>{"rp=print"});
        // Section 10.2: new data with the cache-flush bit replaces the old a second on.
        clock->advance(2000);
        srv.rdata = srvData(0, 0, 8631, host);
        deliver(response({srv}));
        clock->advance(1100);
        QCOMPARE(got.size(), 2);
        QCOMPARE(got[1].port, quint16(8631));
        srv.ttl = 0;
        deliver(response({srv}));
        clock->advance(1100);
        QCOMPARE(got.size(), 3);
        QVERIFY(got[2].host.isEmpty());
    }

    void resolvedAddressStays()
    {
        // An IPv6 resolve prefers AAAA, but an A that came first stays reported: the
        // AAAA that follows is no change of the service.
        int reports = 0;
        core->resolve(1, IPv6, instance, AnyProtocol,
                      [&](bool, const Querier::Resolution &) { ++reports; });
        const QHostAddress linkLocal(QStringLiteral("fe80::9"));
        transport->deliver(response({rec(instance, TypeSRV, srvData(0, 0, 631, host)),
                                     rec(instance, TypeTXT, txtData({"rp=print"})),
                                     rec(host, TypeA, addressData(peer))}),
                           linkLocal);
        transport->deliver(response({rec(host, TypeAAAA, addressData(linkLocal))}), linkLocal);
        clock->advance(10);
        QCOMPARE(reports, 1);
    }

    void cacheRefreshedBeforeExpiry()
    {
        core->browse(type, AnyProtocol, [](BrowseEvent, int, bool, const QByteArray &) {});
        clock->advance(200);
        deliver(response({rec(type, TypePTR, instance, 1000)}));
        const qint64 heard = clock->now();
        // The browse's own queries go at 511 s and 1023 s: between them, only refreshes.
        clock->advance(520000);
        transport->sent.clear();
        clock->advance(279000);
        QVERIFY(transport->sent.isEmpty());
        clock->advance(30000);
        const QVector<Out> out = sent();
        QVERIFY(!out.isEmpty());
        // Section 5.2: at 80 % of the TTL, with up to 2 % more drawn.
        QVERIFY(out[0].at - heard >= 800000 && out[0].at - heard <= 820000);
        QVERIFY(!holds(out[0].m.answers, TypePTR)); // not offered as known any more
    }

    void timesKeptFlat()
    {
        TimeTable t;
        const auto key = [](quint64 k) {
            return k * 0x9E3779B97F4A7C15ull;
        };
        for (quint64 k = 0; k < 5000; ++k)
            t.insert(key(k), qint64(k));
        t.insert(0, 7); // key(0): updated, not added
        QCOMPARE(t.size(), 5000);
        QCOMPARE(t.value(0), qint64(7));
        QCOMPARE(t.value(key(4321)), qint64(4321));
        QCOMPARE(t.value(key(5000)), qint64(-1));
        t.dropBefore(2500);
        QCOMPARE(t.size(), 2500);
        QCOMPARE(t.value(0), qint64(-1));
        QCOMPARE(t.value(key(2499)), qint64(-1));
        QCOMPARE(t.value(key(2500)), qint64(2500));
        QCOMPARE(t.value(key(4999)), qint64(4999));
    }

    void behindTheEngineInterface()
    {
        core.reset();
        std::unique_ptr<Engine> engine =
            newMdnsEngine(*clock, *transport, {Link{1, {LinkAddress{ours, 24}}}});
        bool running = false;
        EngineEvents events;
        events.running = [&] {
            running = true;
        };
        engine->start(events, StartMode::Now);
        QVERIFY(running);
        auto g = engine->newGroup([](GroupState, const QString &) {});
        g->addService(1, "Office", "_ipp._tcp", "printer.local", 631,
                      TxtRecord::fromStrings({"rp=print"}));
        g->addAddress(1, IPv4, "printer.local", ours, false);
        g->commit();
        clock->advance(6000);
        QCOMPARE(g->state(), GroupState::Established);
        // Another group of ours with the name and other data collides, as on the network.
        auto clash = engine->newGroup([](GroupState, const QString &) {});
        clash->addService(1, "Office", "_ipp._tcp", "other.local", 631, {});
        clash->commit();
        QCOMPARE(clash->state(), GroupState::Collision);

        QString error, browsed;
        ResolvedService got;
        auto b = engine->browse(
            AnyProtocol, "_ipp._tcp",
            [&](BrowseEvent e, int, int, const QString &name, const QString &t, const QString &d) {
                if (e == BrowseEvent::New)
                    browsed = name + QLatin1Char('|') + t + QLatin1Char('|') + d;
            },
            &error);
        auto r = engine->resolve(
            1, IPv4, QStringLiteral("Remote"), QStringLiteral("_ipp._tcp"), QStringLiteral("local"),
            IPv4,
            [&](bool found, const ResolvedService &s) { got = found ? s : ResolvedService(); },
            &error);
        QVERIFY(b && r);
        const QByteArray remote = prependLabel("Remote", type),
                         remoteHost = nameFromDotted("r.local");
        deliver(response({rec(type, TypePTR, remote, 4500),
                          rec(remote, TypeSRV, srvData(0, 0, 9100, remoteHost)),
                          rec(remote, TypeTXT, txtData({"a=1"})),
                          rec(remoteHost, TypeA, addressData(peer))}));
        QCOMPARE(browsed, QStringLiteral("Remote|_ipp._tcp|local"));
        QCOMPARE(got.host, QStringLiteral("r.local"));
        QCOMPARE(got.port, quint16(9100));
        QCOMPARE(got.ip, peer);
        QCOMPARE(got.txt.value("a"), QByteArray("1"));
    }
};

QTEST_APPLESS_MAIN(tst_MdnsCore)
#include "tst_mdnscore.moc"
