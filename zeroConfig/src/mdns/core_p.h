// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_MDNS_CORE_P_H
#define QZEROCONF_MDNS_CORE_P_H

// The mDNS engine of our own, written from RFC 6762 and 6763.
//
// Objects, and who owns what:
//  - wire_p.h, the codec: Message <-> bytes. Names stay in uncompressed wire form and
//    are implicitly shared between the records that hold them.
//  - seam_p.h, the seam: Clock (monotonic milliseconds, one wake-up at a time) and
//    Transport (datagrams in and out, per interface). UdpTransport and QtClock are the
//    real ones, fakeseam_p.h drives both by hand in tests and the fuzz target.
//  - Core (below), one per responder thread, owns everything else and is driven only
//    through the seam and its own calls, from one thread:
//     * the record store: groups of Entry (a Record plus the interface and IP versions
//       it is published on), indexed by lowercased owner name once committed; plain
//       structs, no QObject per record.
//     * one state machine per group: Idle -> Waiting (0-250 ms) -> Probing (three probes
//       250 ms apart) -> Announcing (three, 1 s then 2 s apart) -> Established, with
//       Deferring (a lost simultaneous-probe tie-break: 1 s, then probing again) and
//       Conflict. Transitions happen in Core::enter() only. Groups due at the same
//       moment probe and announce in shared packets.
//     * the reply scheduler: pending replies, each due at its own time, checked again
//       against known answers and other responders' answers until they go out; the
//       times each record was last multicast on each interface (rate limit, QU).
//     * the recent packets we sent, so that our own packets coming back (multicast
//       loopback, a second interface on the same link, an echoing switch) are never
//       taken for somebody else's.
//     * the Querier (querier_p.h): the cache of records heard, with expiry and refresh
//       queries, and the lookups (browse, resolve) that query continuously; Core hands
//       it what it hears and sends what it asks.
//  - Later: the EngineGroup/Engine adapter behind engine_p.h, on top of Core.
//
// Callbacks to group owners come from inside Core's calls (a datagram, a wake-up):
// they must not call back into Core, as engine_p.h asks of every engine.

#include "../engine_p.h"
#include "querier_p.h"
#include "seam_p.h"
#include "timetable_p.h"
#include "wire_p.h"

#include <QMultiHash>
#include <QRandomGenerator>
#include <QSet>

#include <deque>
#include <map>
#include <vector>

namespace QZeroConfInternal::Mdns {

struct LinkAddress
{
    QHostAddress address;
    int prefixLength = -1; // -1: not known
};

// An interface we answer on, with its addresses.
struct Link
{
    int index = 0;
    QVector<LinkAddress> addresses;

    bool carries(bool ipv6) const;
    bool onLink(const QHostAddress &source) const;
};

// An owner name as a hash key that ignores ASCII case (RFC 6762 section 16). It shares
// the record's own bytes: a lowered copy of every name would cost more than the rest of
// the index.
struct NameKey
{
    QByteArray name;
};
inline bool operator==(const NameKey &a, const NameKey &b)
{
    return sameName(a.name, b.name);
}
uint qHash(const NameKey &key, uint seed = 0);

// One record we publish.
struct Entry
{
    Record record;
    int interfaceIndex = AnyInterface;
    int protocol = AnyProtocol; // the IP versions it goes out over
    bool unique = false;        // probed, sent with the cache-flush bit
    bool typeListed = false;    // a service type's PTR: the type is listed in _services
};

class Core
{
public:
    using GroupId = quint32;

    // The seam must outlive the core. `seed` draws the random delays.
    Core(Clock &clock, Transport &transport, quint32 seed);
    // Goodbyes for every group on the wire.
    ~Core();

    void setLinks(const QVector<Link> &links);

    GroupId newGroup(GroupCallback callback);
    // With goodbyes for what it announced.
    void freeGroup(GroupId group);
    void addEntry(GroupId group, const Entry &entry);
    // A service: the type's PTR, the instance's SRV and TXT (names in wire form).
    void addService(GroupId group, int interfaceIndex, const QByteArray &instance,
                    const QByteArray &type, const QByteArray &host, quint16 port,
                    const TxtRecord &txt);
    void addSubtype(GroupId group, int interfaceIndex, const QByteArray &instance,
                    const QByteArray &type, const QByteArray &subtype);
    void addAddress(GroupId group, int interfaceIndex, int protocol, const QByteArray &host,
                    const QHostAddress &address, bool reverse);
    // Replaces the TXT record of a committed service and announces it (RFC 6762 section
    // 8.4: no new probe). False when the group holds no such record.
    bool updateTxt(GroupId group, int interfaceIndex, const QByteArray &instance,
                   const TxtRecord &txt);
    void commit(GroupId group);
    // Goodbyes for what it announced; the group is empty and Idle again.
    void reset(GroupId group);
    GroupState state(GroupId group) const;

    // Lookups (querier_p.h). Their callbacks come from inside the core's calls, as above.
    Querier::LookupId browse(const QByteArray &type, int protocol, Querier::BrowseFn callback);
    Querier::LookupId resolve(int interfaceIndex, int protocol, const QByteArray &instance,
                              int addressProtocol, Querier::ResolveFn callback);
    void cancelLookup(Querier::LookupId id);

    // Deliveries from the seam.
    void received(const Datagram &datagram);
    void wake();

private:
    enum class Phase {
        Idle,
        Waiting,
        Probing,
        Deferring,
        Announcing,
        Established,
        Conflict,
        Failed,
    };

    struct Group
    {
        GroupId id = 0;
        GroupCallback callback;
        std::vector<Entry> entries;
        Phase phase = Phase::Idle;
        int step = 0;         // probes or announcements sent in this phase
        qint64 due = -1;      // next step
        bool onWire = false;  // announced: goodbyes are owed
        bool claimed = false; // probed successfully, not lost since
        QString failure;      // why it cannot be committed
    };

    struct Answer
    {
        Record record;
        GroupId group = 0; // 0: generated (_services, NSEC)
        bool unique = false;
    };

    struct Reply
    {
        int link = 0;
        bool ipv6 = false;
        bool multicast = true;
        bool legacy = false;  // RFC 6762 section 6.7
        bool defence = false; // answers a probe: 250 ms rate limit
        QHostAddress to;      // the querier
        quint16 port = MdnsPort;
        quint16 id = 0;
        QVector<Question> questions; // echoed in legacy replies
        qint64 due = 0;
        QVector<Answer> answers;
    };

    struct Ref
    {
        Group *group;
        int index;
        const Entry &entry() const { return group->entries[size_t(index)]; }
    };

    static GroupState stateOf(Phase phase);
    static GroupState reported(const Group &g);
    void enter(Group &g, Phase phase, bool report = true);
    enum class Send { Nothing, Probe, Announcement };
    Send step(Group &g);
    void reschedule();

    Group *find(GroupId id);
    const Link *link(int index) const;
    static bool applies(const Entry &e, int link, bool ipv6);
    static bool answering(const Group &g);
    void index(Group &g);
    void unindex(Group &g);
    void purgeReplies(GroupId group);

    void sendProbes(const QVector<Group *> &groups);
    // Announcements, or goodbyes (TTL 0).
    void sendRecords(const QVector<Group *> &groups, bool goodbye);
    void sendPackets(const Link &l, const QHostAddress &to, quint16 port,
                     const QVector<QByteArray> &packets);
    void sendPaced(qint64 now);
    // Enough waits in the pace queue: no group takes a step until it is shorter.
    bool backlogged() const;
    QVector<QByteArray> pack(quint16 id, quint16 flags, const QVector<Question> &questions,
                             const QVector<Record> &answers, const QVector<Record> &extra,
                             Section extraSection);

    void handleResponse(const Message &m, const Link &l, bool ipv6);
    void handleQuery(const Message &m, const Datagram &d, const Link &l, bool ipv6);
    bool tieBreak(Group &g, const Message &m, const Link &l, bool ipv6);
    void defend(const Message &m, const Link &l, bool ipv6);
    QVector<Answer> answersFor(const Question &q, const Link &l, bool ipv6);
    void schedule(Reply reply, int lowMs, int highMs);
    void sendReply(Reply &r);
    QVector<Record> additionalsFor(const QVector<Record> &answers, const Link &l, bool ipv6);

    QVector<Record> serviceTypes(const Link &l, bool ipv6);
    bool typeHeld(const QByteArray &type, const Link &l, bool ipv6) const;
    QVector<quint16> typesOf(const QByteArray &name, const Link &l, bool ipv6) const;

    quint64 recordKey(const Record &r, int link, bool ipv6) const;
    qint64 lastMulticast(const Record &r, int link, bool ipv6) const;
    void noteSent(const QByteArray &packet);
    bool isOwn(const QByteArray &packet) const;
    void prune();

    Clock &m_clock;
    Transport &m_transport;
    QRandomGenerator m_random;
    Querier m_querier;
    QVector<Link> m_links;
    std::map<GroupId, std::unique_ptr<Group>> m_groups;
    GroupId m_lastId = 0;
    // Committed entries by owner name.
    QMultiHash<NameKey, Ref> m_index;
    // The service types some committed group lists.
    QSet<NameKey> m_types;
    std::vector<Reply> m_replies;
    TimeTable m_lastMulticast;      // recordKey -> time
    TimeTable m_sentPackets;        // hash of a packet we sent -> time
    std::deque<qint64> m_conflicts; // times of the latest conflicts (section 8.1)
    // Packets held back by the pace (see sendPackets), in order, and the credit of
    // packets that may go at once, as of m_creditAt.
    struct Outgoing
    {
        int link;
        QHostAddress to;
        quint16 port;
        QByteArray bytes;
    };
    std::deque<Outgoing> m_outbox;
    int m_credit = 0;
    qint64 m_creditAt = -1;
    bool m_throttled = false;
    qint64 m_nextPrune = 0;
    int m_dropped = 0; // malformed packets, logged a few times only
};

} // namespace QZeroConfInternal::Mdns

#endif
