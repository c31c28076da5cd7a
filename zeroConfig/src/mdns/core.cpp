// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "core_p.h"

#include "../logging_p.h"

#include <QSet>

#include <algorithm>
#include <type_traits>

namespace QZeroConfInternal::Mdns {

namespace {

// RFC 6762 section 8.1: a random wait of up to 250 ms, then three probes 250 ms apart.
constexpr int ProbeWaitMs = 250;
constexpr int ProbeIntervalMs = 250;
constexpr int Probes = 3;
// Section 8.3: at least two announcements, the interval doubling from one second.
constexpr int Announcements = 3;
constexpr int AnnounceIntervalMs = 1000;
// Section 8.2: the loser of a simultaneous-probe tie-break waits a second.
constexpr int DeferMs = 1000;
// Section 8.1: after fifteen conflicts within ten seconds, probes wait five seconds, so
// that a host that keeps losing its names does not flood the link with probes.
constexpr int ConflictBurst = 15;
constexpr qint64 ConflictWindowMs = 10000;
constexpr int ConflictWaitMs = 5000;
// Section 6: shared answers wait 20-120 ms; section 7.2: 400-500 ms when more known
// answers follow (TC); section 6: a record is multicast at most once a second, a probe
// defence at most every 250 ms.
constexpr int SharedLowMs = 20, SharedHighMs = 120;
constexpr int TruncatedLowMs = 400, TruncatedHighMs = 500;
constexpr int RateLimitMs = 1000;
// A thousand services announced at once are hundreds of packets: sent in one burst they
// overflow the socket buffer of a slow reader on the link, which must then ask for what it
// dropped and wait a second for it (the rate limit above). Beyond a burst of PaceBurst
// packets, one goes out every PaceIntervalMs.
constexpr int PaceBurst = 32;
constexpr int PaceIntervalMs = 1;
// Groups that take a step (a probe, an announcement) in one wake. A thousand services
// due at once would otherwise be built into a thousand services' packets, to wait in the
// pace queue; the others wait until the queue is short again (backlogged()).
constexpr int StepsPerWake = 32;
constexpr int DefenceLimitMs = 250;
// Section 6.7.
constexpr quint32 LegacyTtl = 10;
// Section 10: records about a host, and the rest.
constexpr quint32 HostTtl = 120;
constexpr quint32 OtherTtl = 4500;
// How long a packet we sent is recognised when it comes back to us.
constexpr int OwnPacketMs = 10000;
constexpr int PruneEveryMs = 60000;
// A record's last multicast matters for a quarter of its TTL at most (section 5.4).
constexpr qint64 LastMulticastKeptMs = qint64(OtherTtl) * 1000 / 4;
constexpr int LoggedDrops = 5;

const QByteArray &servicesName()
{
    static const QByteArray name = nameFromDotted("_services._dns-sd._udp.local");
    return name;
}

Record makeRecord(const QByteArray &name, quint16 type, quint32 ttl, const QByteArray &rdata)
{
    Record r;
    r.name = name;
    r.type = type;
    r.ttl = ttl;
    r.rdata = rdata;
    return r;
}

quint64 fnv(quint64 h, const char *data, int size)
{
    for (int i = 0; i < size; ++i) {
        h ^= quint8(data[i]);
        h *= 1099511628211ull;
    }
    return h;
}

// The same over a name as if it were lowered: no lowered copy is made.
quint64 fnvName(quint64 h, const QByteArray &name)
{
    for (char c : name) {
        h ^= quint8(lowerChar(c));
        h *= 1099511628211ull;
    }
    return h;
}

quint64 packetHash(const QByteArray &packet)
{
    return fnv(14695981039346656037ull, packet.constData(), packet.size()) ^ quint64(packet.size());
}

// A known answer suppresses ours when its TTL is at least half ours (section 7.1).
bool knownIn(const QVector<Record> &known, const Record &r)
{
    return std::any_of(known.begin(), known.end(),
                       [&](const Record &k) { return k.ttl >= r.ttl / 2 && k.sameData(r); });
}

template <typename T> bool holdsSame(const QVector<T> &list, const Record &r)
{
    return std::any_of(list.begin(), list.end(), [&](const T &x) {
        if constexpr (std::is_same_v<T, Record>)
            return x.sameData(r);
        else
            return x.record.sameData(r);
    });
}

// Section 8.2: class (without the cache-flush bit), then type, then the raw data.
bool earlier(const Record &a, const Record &b)
{
    if (a.rclass != b.rclass)
        return a.rclass < b.rclass;
    if (a.type != b.type)
        return a.type < b.type;
    return a.rdata < b.rdata;
}

bool samePrefix(const QHostAddress &a, const QHostAddress &b, int length)
{
    return length >= 0 && a.isInSubnet(b, length);
}

} // namespace

bool Link::carries(bool ipv6) const
{
    const auto family = ipv6 ? QAbstractSocket::IPv6Protocol : QAbstractSocket::IPv4Protocol;
    return std::any_of(addresses.begin(), addresses.end(),
                       [&](const LinkAddress &a) { return a.address.protocol() == family; });
}

bool Link::onLink(const QHostAddress &source) const
{
    if (source.isLinkLocal())
        return true;
    return std::any_of(addresses.begin(), addresses.end(), [&](const LinkAddress &a) {
        return samePrefix(source, a.address, a.prefixLength);
    });
}

Core::Core(Clock &clock, Transport &transport, quint32 seed)
    : m_clock(clock), m_transport(transport), m_random(seed),
      m_querier(m_random, [this](int link, bool ipv6, const QByteArray &packet) {
          noteSent(packet);
          m_transport.send(link, mdnsGroup(ipv6), MdnsPort, packet);
      })
{
    m_clock.woken = [this] {
        wake();
    };
    m_transport.received = [this](const Datagram &d) {
        received(d);
    };
    m_nextPrune = m_clock.now() + PruneEveryMs;
}

Core::~Core()
{
    QVector<Group *> announced;
    for (auto &it : m_groups) {
        unindex(*it.second);
        if (it.second->onWire)
            announced.append(it.second.get());
    }
    sendRecords(announced, true);
    // The process may be about to end: what waits for the pace goes now.
    for (const Outgoing &o : m_outbox) {
        if (link(o.link))
            m_transport.send(o.link, o.to, o.port, o.bytes);
    }
    m_clock.woken = nullptr;
    m_transport.received = nullptr;
}

void Core::setLinks(const QVector<Link> &links)
{
    QVector<Transport::Interface> interfaces;
    QVector<QPair<int, bool>> added; // (interface, IPv6) that we did not send on before
    for (const Link &l : links) {
        interfaces.append(Transport::Interface{l.index, l.carries(false), l.carries(true)});
        const Link *old = link(l.index);
        for (bool v6 : {false, true}) {
            if (l.carries(v6) && !(old && old->carries(v6)))
                added.append(qMakePair(l.index, v6));
        }
    }
    m_links = links;
    m_transport.setInterfaces(interfaces);
    m_querier.setLinks(links);
    // Records that now reach a link they did not are probed there before they are
    // announced (section 8): the whole group starts over.
    for (auto &it : m_groups) {
        Group &g = *it.second;
        if (g.phase == Phase::Idle || g.phase == Phase::Conflict || g.phase == Phase::Failed)
            continue;
        const bool reaches = std::any_of(g.entries.begin(), g.entries.end(), [&](const Entry &e) {
            return std::any_of(added.begin(), added.end(), [&](const QPair<int, bool> &a) {
                return applies(e, a.first, a.second);
            });
        });
        if (reaches)
            enter(g, Phase::Waiting);
    }
    reschedule();
}

Core::GroupId Core::newGroup(GroupCallback callback)
{
    auto g = std::make_unique<Group>();
    g->id = ++m_lastId;
    g->callback = std::move(callback);
    const GroupId id = g->id;
    m_groups.emplace(id, std::move(g));
    return id;
}

void Core::freeGroup(GroupId id)
{
    if (!find(id))
        return;
    reset(id);
    m_groups.erase(id);
}

void Core::addEntry(GroupId id, const Entry &entry)
{
    Group *g = find(id);
    if (!g)
        return;
    if (g->phase != Phase::Idle) {
        qCWarning(lcZeroConfEngine, "a record was added to a committed group: reset it first");
        return;
    }
    // Room for the header and a question besides the record.
    if (entry.record.name.size() + entry.record.rdata.size() > MaxMessageSize - 300) {
        g->failure = QStringLiteral("a record of %1 bytes does not fit in an mDNS message")
                         .arg(entry.record.rdata.size());
        return;
    }
    const bool duplicate = std::any_of(g->entries.begin(), g->entries.end(), [&](const Entry &e) {
        return e.interfaceIndex == entry.interfaceIndex && e.protocol == entry.protocol &&
               e.record.sameData(entry.record);
    });
    if (!duplicate)
        g->entries.push_back(entry);
}

void Core::addService(GroupId group, int interfaceIndex, const QByteArray &instance,
                      const QByteArray &type, const QByteArray &host, quint16 port,
                      const TxtRecord &txt)
{
    Entry e;
    e.interfaceIndex = interfaceIndex;
    e.typeListed = true;
    // Every service of a type shares the one copy of its name.
    const auto listed = m_types.constFind(NameKey{type});
    const bool same = listed != m_types.constEnd() && listed->name == type;
    e.record = makeRecord(same ? listed->name : type, TypePTR, OtherTtl, ptrData(instance));
    addEntry(group, e);
    e.typeListed = false;
    e.unique = true;
    e.record = makeRecord(instance, TypeSRV, HostTtl, srvData(0, 0, port, host));
    addEntry(group, e);
    e.record = makeRecord(instance, TypeTXT, OtherTtl, txtData(txt));
    addEntry(group, e);
}

void Core::addSubtype(GroupId group, int interfaceIndex, const QByteArray &instance,
                      const QByteArray &type, const QByteArray &subtype)
{
    // RFC 6763 section 7.1: <subtype>._sub.<type>, a shared PTR to the instance.
    Entry e;
    e.interfaceIndex = interfaceIndex;
    e.record = makeRecord(prependLabel(subtype, prependLabel("_sub", type)), TypePTR, OtherTtl,
                          ptrData(instance));
    addEntry(group, e);
}

void Core::addAddress(GroupId group, int interfaceIndex, int protocol, const QByteArray &host,
                      const QHostAddress &address, bool reverse)
{
    Entry e;
    e.interfaceIndex = interfaceIndex;
    e.protocol = protocol;
    e.unique = true;
    const bool v4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    e.record = makeRecord(host, v4 ? TypeA : TypeAAAA, HostTtl, addressData(address));
    addEntry(group, e);
    if (reverse) {
        e.record = makeRecord(reverseName(address), TypePTR, HostTtl, ptrData(host));
        addEntry(group, e);
    }
}

bool Core::updateTxt(GroupId id, int interfaceIndex, const QByteArray &instance,
                     const TxtRecord &txt)
{
    Group *g = find(id);
    if (!g)
        return false;
    bool found = false;
    for (Entry &e : g->entries) {
        if (e.record.type == TypeTXT && e.interfaceIndex == interfaceIndex &&
            sameName(e.record.name, instance)) {
            e.record.rdata = txtData(txt);
            found = true;
        }
    }
    if (found && answering(*g)) {
        purgeReplies(g->id);
        enter(*g, Phase::Announcing);
        reschedule();
    }
    return found;
}

void Core::commit(GroupId id)
{
    Group *g = find(id);
    if (!g || g->phase != Phase::Idle)
        return;
    if (!g->failure.isEmpty()) {
        enter(*g, Phase::Failed);
        return;
    }
    g->entries.shrink_to_fit(); // no more are added until a reset
    // A service name that another group of ours holds with other data is taken, as it
    // would be by another host (engine_p.h).
    for (const Entry &e : g->entries) {
        if (e.record.type != TypeSRV && e.record.type != TypeTXT)
            continue;
        const auto range = m_index.equal_range(NameKey{e.record.name});
        for (auto it = range.first; it != range.second; ++it) {
            if (it->entry().record.type == e.record.type && it->entry().unique &&
                it->entry().record.rdata != e.record.rdata) {
                enter(*g, Phase::Conflict);
                return;
            }
        }
    }
    index(*g);
    const bool probed =
        std::any_of(g->entries.begin(), g->entries.end(), [](const Entry &e) { return e.unique; });
    enter(*g, probed ? Phase::Waiting : Phase::Announcing);
    reschedule();
}

void Core::reset(GroupId id)
{
    Group *g = find(id);
    if (!g)
        return;
    unindex(*g);
    if (g->onWire)
        sendRecords({g}, true);
    purgeReplies(g->id);
    g->entries.clear();
    g->failure.clear();
    g->onWire = false;
    enter(*g, Phase::Idle, false); // no callback: the owner asked for it
    reschedule();
}

GroupState Core::state(GroupId id) const
{
    const auto it = m_groups.find(id);
    return it == m_groups.end() ? GroupState::Failure : reported(*it->second);
}

GroupState Core::stateOf(Phase phase)
{
    switch (phase) {
    case Phase::Idle:
        return GroupState::Uncommitted;
    case Phase::Waiting:
    case Phase::Probing:
    case Phase::Deferring:
        return GroupState::Registering;
    case Phase::Announcing:
    case Phase::Established:
        return GroupState::Established;
    case Phase::Conflict:
        return GroupState::Collision;
    case Phase::Failed:
        break;
    }
    return GroupState::Failure;
}

// A group that held its names and probes again (on a new link, or after conflicting
// data, section 9) is still established for its owner: only losing makes news.
GroupState Core::reported(const Group &g)
{
    const GroupState s = stateOf(g.phase);
    return g.claimed && s == GroupState::Registering ? GroupState::Established : s;
}

// The one place where a group changes phase.
void Core::enter(Group &g, Phase phase, bool report)
{
    const GroupState before = reported(g);
    const qint64 now = m_clock.now();
    g.phase = phase;
    g.step = 0;
    switch (phase) {
    case Phase::Idle:
        g.claimed = false;
        g.due = -1;
        break;
    case Phase::Established:
        g.due = -1;
        break;
    case Phase::Waiting:
        // Groups committed while others wait join their moment, so that they probe
        // together; the random wait is there to set hosts apart (section 8.1).
        g.due = now + m_random.bounded(ProbeWaitMs + 1);
        for (const auto &it : m_groups) {
            if (it.second.get() != &g && it.second->phase == Phase::Waiting &&
                it.second->due >= now) {
                g.due = it.second->due;
                break;
            }
        }
        while (!m_conflicts.empty() && now - m_conflicts.front() > ConflictWindowMs)
            m_conflicts.pop_front();
        if (m_conflicts.size() >= size_t(ConflictBurst)) {
            if (!m_throttled)
                qCInfo(lcZeroConfEngine, "%d name conflicts within 10 s: probing every 5 s",
                       ConflictBurst);
            m_throttled = true;
            g.due = now + ConflictWaitMs;
        } else {
            m_throttled = false;
        }
        break;
    case Phase::Probing:
        g.due = now;
        break;
    case Phase::Announcing:
        g.claimed = true;
        g.due = now;
        break;
    case Phase::Deferring:
        g.due = now + DeferMs;
        break;
    case Phase::Conflict:
        g.claimed = false;
        m_conflicts.push_back(now);
        if (m_conflicts.size() > size_t(ConflictBurst))
            m_conflicts.pop_front();
        Q_FALLTHROUGH();
    case Phase::Failed:
        g.due = -1;
        unindex(g);
        purgeReplies(g.id);
        break;
    }
    const GroupState after = reported(g);
    if (report && after != before && g.callback)
        g.callback(after, phase == Phase::Failed ? g.failure : QString());
}

Core::Send Core::step(Group &g)
{
    const qint64 now = m_clock.now();
    switch (g.phase) {
    case Phase::Waiting:
    case Phase::Deferring:
        enter(g, Phase::Probing);
        break;
    case Phase::Probing:
        if (g.step < Probes) {
            ++g.step;
            g.due = now + ProbeIntervalMs;
            return Send::Probe;
        }
        enter(g, Phase::Announcing);
        break;
    case Phase::Announcing:
        g.due = now + qint64(AnnounceIntervalMs) * (1 << g.step);
        if (++g.step == Announcements)
            enter(g, Phase::Established);
        return Send::Announcement;
    case Phase::Idle:
    case Phase::Established:
    case Phase::Conflict:
    case Phase::Failed:
        g.due = -1;
        break;
    }
    return Send::Nothing;
}

void Core::wake()
{
    const qint64 now = m_clock.now();
    sendPaced(now);
    // The groups due now probe and announce together: one packet for many of them.
    QVector<Group *> probes, announcements;
    int stepped = 0;
    for (auto &it : m_groups) {
        if (backlogged() || stepped == StepsPerWake)
            break;
        Group &g = *it.second;
        stepped += g.due >= 0 && g.due <= now;
        // Each step moves `due` on or leaves the phase that set it.
        while (g.due >= 0 && g.due <= now) {
            const Send send = step(g);
            if (send == Send::Probe)
                probes.append(&g);
            else if (send == Send::Announcement)
                announcements.append(&g);
        }
    }
    if (!probes.isEmpty())
        sendProbes(probes);
    if (!announcements.isEmpty())
        sendRecords(announcements, false);
    for (size_t i = 0; i < m_replies.size();) {
        if (m_replies[i].due <= now) {
            Reply r = std::move(m_replies[i]);
            m_replies.erase(m_replies.begin() + qptrdiff(i));
            sendReply(r);
        } else {
            ++i;
        }
    }
    m_querier.wake(now);
    if (now >= m_nextPrune)
        prune();
    reschedule();
}

Querier::LookupId Core::browse(const QByteArray &type, int protocol, Querier::BrowseFn callback)
{
    const Querier::LookupId id =
        m_querier.browse(type, protocol, std::move(callback), m_clock.now());
    reschedule();
    return id;
}

Querier::LookupId Core::resolve(int interfaceIndex, int protocol, const QByteArray &instance,
                                int addressProtocol, Querier::ResolveFn callback)
{
    const Querier::LookupId id = m_querier.resolve(
        interfaceIndex, protocol, instance, addressProtocol, std::move(callback), m_clock.now());
    reschedule();
    return id;
}

void Core::cancelLookup(Querier::LookupId id)
{
    m_querier.cancel(id);
    reschedule();
}

bool Core::backlogged() const
{
    return m_outbox.size() >= size_t(PaceBurst);
}

void Core::reschedule()
{
    qint64 next = m_nextPrune;
    // While backlogged, the pace's wakes below are the groups' too.
    for (const auto &it : m_groups) {
        if (it.second->due >= 0 && !backlogged())
            next = std::min(next, it.second->due);
    }
    for (const Reply &r : m_replies)
        next = std::min(next, r.due);
    const qint64 querier = m_querier.nextWake();
    if (querier >= 0)
        next = std::min(next, querier);
    if (!m_outbox.empty())
        next = std::min(next, m_creditAt + PaceIntervalMs);
    m_clock.wakeAt(next);
}

Core::Group *Core::find(GroupId id)
{
    const auto it = m_groups.find(id);
    return it == m_groups.end() ? nullptr : it->second.get();
}

const Link *Core::link(int index) const
{
    for (const Link &l : m_links) {
        if (l.index == index)
            return &l;
    }
    return nullptr;
}

bool Core::applies(const Entry &e, int link, bool ipv6)
{
    return (e.interfaceIndex == AnyInterface || e.interfaceIndex == link) &&
           (e.protocol == AnyProtocol || e.protocol == (ipv6 ? IPv6 : IPv4));
}

bool Core::answering(const Group &g)
{
    // A claimed group probing again keeps answering meanwhile.
    return g.claimed || g.phase == Phase::Announcing || g.phase == Phase::Established;
}

void Core::index(Group &g)
{
    for (int i = 0; i < int(g.entries.size()); ++i) {
        const NameKey key{g.entries[size_t(i)].record.name};
        m_index.insert(key, Ref{&g, i});
        if (g.entries[size_t(i)].typeListed)
            m_types.insert(key);
    }
}

void Core::unindex(Group &g)
{
    for (const Entry &e : g.entries) {
        const NameKey key{e.record.name};
        bool listed = false;
        for (auto it = m_index.find(key); it != m_index.end() && it.key() == key;) {
            if (it->group == &g) {
                it = m_index.erase(it);
            } else {
                listed = listed || it->entry().typeListed;
                ++it;
            }
        }
        if (e.typeListed && !listed)
            m_types.remove(key);
    }
}

void Core::purgeReplies(GroupId group)
{
    for (Reply &r : m_replies) {
        r.answers.erase(std::remove_if(r.answers.begin(), r.answers.end(),
                                       [&](const Answer &a) { return a.group == group; }),
                        r.answers.end());
    }
}

void Core::sendProbes(const QVector<Group *> &groups)
{
    for (const Link &l : qAsConst(m_links)) {
        for (bool v6 : {false, true}) {
            if (!l.carries(v6))
                continue;
            // Section 8.1: one ANY question per name, the proposed records in the
            // authority section, every name in one packet where they fit. No QU bit:
            // with port 5353 shared, a unicast answer may reach another process.
            QVector<QByteArray> names;
            QVector<QVector<Record>> records;
            QHash<NameKey, int> seen; // name -> index in names
            for (const Group *g : groups) {
                for (const Entry &e : g->entries) {
                    if (!e.unique || !applies(e, l.index, v6))
                        continue;
                    const NameKey key{e.record.name};
                    auto it = seen.find(key);
                    if (it == seen.end()) {
                        it = seen.insert(key, names.size());
                        names.append(e.record.name);
                        records.append(QVector<Record>());
                    }
                    records[*it].append(e.record);
                }
            }
            auto build = [&](int from, int to, int limit, MessageWriter *w) {
                *w = MessageWriter(0, 0, limit);
                bool ok = true;
                for (int i = from; i < to; ++i)
                    ok = ok && w->add(Question{names[i], TypeANY, ClassIN, false});
                for (int i = from; i < to; ++i) {
                    for (const Record &r : records[i])
                        ok = ok && w->add(Section::Authority, r);
                }
                return ok;
            };
            QVector<QByteArray> packets;
            int from = 0;
            while (from < names.size()) {
                MessageWriter w(0, 0);
                int to = from + 1;
                if (!build(from, to, PreferredMessageSize, &w) &&
                    !build(from, to, MaxMessageSize, &w)) {
                    ++from; // cannot happen: addEntry keeps records within a message
                    continue;
                }
                MessageWriter next(0, 0);
                while (to < names.size() && build(from, to + 1, PreferredMessageSize, &next)) {
                    w = next;
                    ++to;
                }
                packets.append(w.message());
                from = to;
            }
            sendPackets(l, mdnsGroup(v6), MdnsPort, packets);
        }
    }
}

void Core::sendRecords(const QVector<Group *> &groups, bool goodbye)
{
    const qint64 now = m_clock.now();
    for (const Link &l : qAsConst(m_links)) {
        for (bool v6 : {false, true}) {
            if (!l.carries(v6))
                continue;
            QVector<Record> records;
            QSet<NameKey> types;
            for (Group *g : groups) {
                for (const Entry &e : g->entries) {
                    if (!applies(e, l.index, v6))
                        continue;
                    Record r = e.record;
                    r.cacheFlush = e.unique;
                    if (goodbye)
                        r.ttl = 0;
                    records.append(r);
                    g->onWire = g->onWire || !goodbye;
                    // RFC 6763 section 9: the type under _services too, and its goodbye
                    // only when no other group lists the type here.
                    if (e.typeListed && !types.contains(NameKey{r.name}) &&
                        (!goodbye || !typeHeld(r.name, l, v6))) {
                        types.insert(NameKey{r.name});
                        records.append(
                            makeRecord(servicesName(), TypePTR, goodbye ? 0 : OtherTtl, r.name));
                    }
                }
            }
            if (records.isEmpty())
                continue;
            sendPackets(
                l, mdnsGroup(v6), MdnsPort,
                pack(0, FlagResponse | FlagAuthoritative, {}, records, {}, Section::Additional));
            if (!goodbye) {
                for (const Record &r : qAsConst(records))
                    m_lastMulticast.insert(recordKey(r, l.index, v6), now);
            }
        }
    }
}

QVector<QByteArray> Core::pack(quint16 id, quint16 flags, const QVector<Question> &questions,
                               const QVector<Record> &answers, const QVector<Record> &extra,
                               Section extraSection)
{
    // Answers that do not fit go on in further packets (section 17): nothing is
    // truncated. A record too big for the preferred size goes alone, up to 9000 bytes.
    // Bytes only: a writer's table of names goes as soon as its packet is full.
    QVector<QByteArray> packets;
    auto fresh = [&](int limit) {
        MessageWriter w(id, flags, limit);
        for (const Question &q : questions)
            w.add(q);
        return w;
    };
    auto records = [](const MessageWriter &w) {
        return w.count(Section::Answer) + w.count(Section::Authority) +
               w.count(Section::Additional);
    };
    MessageWriter w = fresh(PreferredMessageSize);
    auto put = [&](Section section, const Record &r, bool required) {
        if (w.add(section, r))
            return;
        if (records(w)) {
            packets.append(w.message());
            w = fresh(PreferredMessageSize);
            if (w.add(section, r))
                return;
        }
        if (!required)
            return;
        MessageWriter big = fresh(MaxMessageSize);
        if (big.add(section, r))
            packets.append(big.message());
        else
            qCInfo(lcZeroConfEngine, "a record of %s does not fit in an mDNS message",
                   qPrintable(nameToString(r.name)));
    };
    for (const Record &r : answers)
        put(Section::Answer, r, true);
    for (const Record &r : extra)
        put(extraSection, r, false);
    if (records(w))
        packets.append(w.message());
    return packets;
}

void Core::sendPackets(const Link &l, const QHostAddress &to, quint16 port,
                       const QVector<QByteArray> &packets)
{
    for (const QByteArray &bytes : packets) {
        noteSent(bytes);
        m_outbox.push_back(Outgoing{l.index, to, port, bytes});
    }
    sendPaced(m_clock.now());
}

void Core::sendPaced(qint64 now)
{
    if (m_creditAt < 0 || m_credit >= PaceBurst) {
        m_credit = PaceBurst;
        m_creditAt = now;
    } else {
        const qint64 earned = (now - m_creditAt) / PaceIntervalMs;
        m_credit = int(std::min<qint64>(PaceBurst, m_credit + earned));
        m_creditAt += earned * PaceIntervalMs;
    }
    while (!m_outbox.empty() && m_credit > 0) {
        const Outgoing o = std::move(m_outbox.front());
        m_outbox.pop_front();
        --m_credit;
        // Held back while its interface went: it goes nowhere.
        if (link(o.link))
            m_transport.send(o.link, o.to, o.port, o.bytes);
    }
}

void Core::received(const Datagram &d)
{
    const Link *found = link(d.interfaceIndex);
    if (!found)
        return; // not an interface we were given
    const Link l = *found;
    const bool v6 = d.source.protocol() == QAbstractSocket::IPv6Protocol;
    // Section 11: from the link only, by hop limit or by source address.
    if (d.hopLimit >= 0 && d.hopLimit != 255 && !l.onLink(d.source))
        return;
    Message m;
    if (!parseMessage(d.data, &m)) {
        if (m_dropped++ < LoggedDrops)
            qCDebug(lcZeroConfEngine, "dropped a malformed mDNS packet from %s",
                    qPrintable(d.source.toString()));
        return;
    }
    // Section 18.3: other opcodes are ignored.
    if (m.opcode() != 0)
        return;
    // Our own packets come back (multicast loopback, a second interface on the link, a
    // switch that echoes): never a conflict or a probe, but our own answers are news to
    // our cache, and our own questions are for our records too.
    const bool own = isOwn(d.data);
    const qint64 now = m_clock.now();
    if (m.isResponse()) {
        // Section 6: responses come from port 5353; rcode must be zero (18.11).
        if (d.port != MdnsPort || m.rcode() != 0)
            return;
        if (!own)
            handleResponse(m, l, v6);
        m_querier.heardResponse(m, l.index, v6, now);
    } else if (!own) {
        m_querier.heardQuery(m, l.index, v6, now);
        handleQuery(m, d, l, v6);
    } else if (m.authorities.isEmpty()) {
        handleQuery(m, d, l, v6);
    }
    reschedule();
}

void Core::handleResponse(const Message &m, const Link &l, bool ipv6)
{
    QVector<Group *> conflicted;
    for (const QVector<Record> *section : {&m.answers, &m.additionals}) {
        for (const Record &rec : *section) {
            if (rec.rclass != ClassIN)
                continue;
            // Section 7.4: another responder gave the answer we were about to give.
            for (Reply &r : m_replies) {
                if (!r.multicast || r.link != l.index || r.ipv6 != ipv6)
                    continue;
                r.answers.erase(std::remove_if(r.answers.begin(), r.answers.end(),
                                               [&](const Answer &a) {
                                                   return rec.ttl >= a.record.ttl / 2 &&
                                                          a.record.sameData(rec);
                                               }),
                                r.answers.end());
            }
            // Section 9: other data under a name and type we hold uniquely. Data that is
            // ours on any interface is no conflict (two interfaces on one link); a
            // goodbye is none either.
            if (rec.ttl == 0 || rec.type == TypeNSEC)
                continue;
            bool ours = false;
            QVector<Group *> holders;
            const auto range = m_index.equal_range(NameKey{rec.name});
            for (auto it = range.first; it != range.second; ++it) {
                const Entry &e = it->entry();
                if (e.record.type != rec.type)
                    continue;
                if (e.record.rdata == rec.rdata)
                    ours = true;
                else if (e.unique)
                    holders.append(it->group);
            }
            for (Group *g : qAsConst(holders)) {
                if (!ours && !conflicted.contains(g) && g->phase != Phase::Waiting)
                    conflicted.append(g);
            }
        }
    }
    for (Group *g : qAsConst(conflicted)) {
        // While probing (or deferring to a tie-break winner), a first claim or again after
        // an earlier conflict: the name is taken. Once announced, section 9: probe again,
        // and the probes decide.
        const bool claimed = g->phase == Phase::Announcing || g->phase == Phase::Established;
        qCInfo(lcZeroConfEngine, "conflicting data for a record of ours on interface %d%s", l.index,
               claimed ? ", probing again" : "");
        enter(*g, claimed ? Phase::Probing : Phase::Conflict);
    }
}

void Core::handleQuery(const Message &m, const Datagram &d, const Link &l, bool ipv6)
{
    const bool legacy = d.port != MdnsPort;
    const qint64 now = m_clock.now();
    // Section 7.2: known answers from this querier, in a packet that follows a truncated
    // query or in another query, take back what is pending for it.
    if (!m.answers.isEmpty()) {
        for (Reply &r : m_replies) {
            if (r.link != l.index || r.ipv6 != ipv6 || r.to != d.source)
                continue;
            r.answers.erase(
                std::remove_if(r.answers.begin(), r.answers.end(),
                               [&](const Answer &a) { return knownIn(m.answers, a.record); }),
                r.answers.end());
        }
    }
    if (!m.authorities.isEmpty()) {
        // A probe: the tie-break for names we are probing, a defence of the names we hold.
        for (auto &it : m_groups) {
            if (it.second->phase == Phase::Probing)
                tieBreak(*it.second, m, l, ipv6);
        }
        defend(m, l, ipv6);
        return;
    }

    Reply unicast;
    unicast.link = l.index;
    unicast.ipv6 = ipv6;
    unicast.multicast = false;
    unicast.legacy = legacy;
    unicast.to = d.source;
    unicast.port = d.port;
    if (legacy) {
        unicast.id = m.id;
        unicast.questions = m.questions;
    }
    Reply multicast = unicast;
    multicast.multicast = true;
    multicast.legacy = false;
    multicast.id = 0;
    multicast.questions.clear();
    bool shared = false;
    for (const Question &q : m.questions) {
        if (q.qclass != ClassIN && q.qclass != ClassANY)
            continue;
        const QVector<Answer> answers = answersFor(q, l, ipv6);
        for (const Answer &a : answers) {
            if (knownIn(m.answers, a.record))
                continue;
            // Section 5.4: unicast when asked, unless the record has not been multicast
            // here for a quarter of its TTL.
            const qint64 last = lastMulticast(a.record, l.index, ipv6);
            const bool recent = last >= 0 && now - last < qint64(a.record.ttl) * 1000 / 4;
            Reply &to = legacy || (q.unicastResponse && recent) ? unicast : multicast;
            if (!holdsSame(to.answers, a.record)) {
                to.answers.append(a);
                shared = shared || !a.unique;
            }
        }
    }
    // Section 6: unique answers go at once, shared ones after 20-120 ms; section 7.2:
    // 400-500 ms when the querier has more known answers to send.
    const bool truncated = m.isTruncated();
    const int low = truncated ? TruncatedLowMs : shared ? SharedLowMs : 0;
    const int high = truncated ? TruncatedHighMs : shared ? SharedHighMs : 0;
    if (!unicast.answers.isEmpty())
        schedule(std::move(unicast), low, high);
    if (!multicast.answers.isEmpty())
        schedule(std::move(multicast), low, high);
}

bool Core::tieBreak(Group &g, const Message &m, const Link &l, bool ipv6)
{
    for (const Question &q : m.questions) {
        QVector<Record> ours, theirs;
        for (const Entry &e : g.entries) {
            if (e.unique && applies(e, l.index, ipv6) && sameName(e.record.name, q.name))
                ours.append(e.record);
        }
        for (const Record &r : m.authorities) {
            if (sameName(r.name, q.name))
                theirs.append(r);
        }
        if (ours.isEmpty() || theirs.isEmpty())
            continue;
        // Section 8.2: sorted, compared pair by pair; the first difference decides, and
        // when one side runs out first, the side with more records wins. Identical
        // data is no conflict.
        std::sort(ours.begin(), ours.end(), earlier);
        std::sort(theirs.begin(), theirs.end(), earlier);
        int i = 0;
        while (i < ours.size() && i < theirs.size() && !earlier(ours[i], theirs[i]) &&
               !earlier(theirs[i], ours[i]))
            ++i;
        const bool lost = i < theirs.size() && (i == ours.size() || earlier(ours[i], theirs[i]));
        if (lost) {
            qCInfo(lcZeroConfEngine, "simultaneous probe for %s: deferring to the other host",
                   qPrintable(nameToString(q.name)));
            enter(g, Phase::Deferring);
            return true;
        }
    }
    return false;
}

void Core::defend(const Message &m, const Link &l, bool ipv6)
{
    Reply r;
    r.link = l.index;
    r.ipv6 = ipv6;
    r.defence = true;
    for (const Question &q : m.questions) {
        const auto range = m_index.equal_range(NameKey{q.name});
        for (auto it = range.first; it != range.second; ++it) {
            const Entry &e = it->entry();
            if (!e.unique || !answering(*it->group) || !applies(e, l.index, ipv6))
                continue;
            Answer a{e.record, it->group->id, true};
            a.record.cacheFlush = true;
            if (!holdsSame(r.answers, a.record))
                r.answers.append(a);
        }
    }
    if (!r.answers.isEmpty())
        schedule(std::move(r), 0, 0);
}

QVector<Core::Answer> Core::answersFor(const Question &q, const Link &l, bool ipv6)
{
    QVector<Answer> out;
    bool ownedUniquely = false;
    QByteArray ownName;
    const auto range = m_index.equal_range(NameKey{q.name});
    for (auto it = range.first; it != range.second; ++it) {
        const Entry &e = it->entry();
        if (!answering(*it->group) || !applies(e, l.index, ipv6))
            continue;
        if (e.unique) {
            ownedUniquely = true;
            ownName = e.record.name;
        }
        if (q.type != TypeANY && q.type != e.record.type)
            continue;
        Answer a{e.record, it->group->id, e.unique};
        a.record.cacheFlush = e.unique;
        out.append(a);
    }
    if ((q.type == TypePTR || q.type == TypeANY) && sameName(q.name, servicesName())) {
        const QVector<Record> types = serviceTypes(l, ipv6);
        for (const Record &r : types)
            out.append(Answer{r, 0, false});
    }
    // Section 6.1: a name we hold, asked for a type it lacks: NSEC says so.
    if (out.isEmpty() && ownedUniquely && q.type != TypeANY) {
        Record n =
            makeRecord(ownName, TypeNSEC, HostTtl, nsecData(ownName, typesOf(q.name, l, ipv6)));
        n.cacheFlush = true;
        out.append(Answer{n, 0, true});
    }
    return out;
}

void Core::schedule(Reply reply, int lowMs, int highMs)
{
    const qint64 now = m_clock.now();
    if (highMs == 0) {
        sendReply(reply);
        return;
    }
    // Section 6: answers to several queries on one link go together when their windows
    // meet; the one reply keeps the delay drawn for it.
    if (reply.multicast) {
        for (Reply &r : m_replies) {
            if (!r.multicast || r.defence || r.link != reply.link || r.ipv6 != reply.ipv6 ||
                r.due < now + lowMs || r.due > now + highMs)
                continue;
            for (const Answer &a : qAsConst(reply.answers)) {
                if (!holdsSame(r.answers, a.record))
                    r.answers.append(a);
            }
            return;
        }
    }
    reply.due = now + m_random.bounded(lowMs, highMs + 1);
    m_replies.push_back(std::move(reply));
}

void Core::sendReply(Reply &r)
{
    const Link *found = link(r.link);
    if (!found)
        return;
    const Link l = *found;
    const qint64 now = m_clock.now();
    QVector<Record> answers;
    for (const Answer &a : qAsConst(r.answers)) {
        if (r.multicast) {
            const qint64 last = lastMulticast(a.record, l.index, r.ipv6);
            if (last >= 0 && now - last < (r.defence ? DefenceLimitMs : RateLimitMs))
                continue;
        }
        answers.append(a.record);
    }
    if (answers.isEmpty())
        return;
    QVector<Record> extra = additionalsFor(answers, l, r.ipv6);
    if (r.legacy) {
        // Section 6.7: short TTLs, and no cache-flush bits for a cache that knows none.
        for (QVector<Record> *list : {&answers, &extra}) {
            for (Record &rec : *list) {
                rec.ttl = std::min(rec.ttl, LegacyTtl);
                rec.cacheFlush = false;
            }
        }
    }
    const auto packets = pack(r.legacy ? r.id : 0, FlagResponse | FlagAuthoritative, r.questions,
                              answers, extra, Section::Additional);
    sendPackets(l, r.multicast ? mdnsGroup(r.ipv6) : r.to, r.multicast ? MdnsPort : r.port,
                packets);
    // Only answers count for the once-a-second limit: an address that rode along with an
    // SRV must still be answered at once when it is asked for itself.
    if (r.multicast) {
        for (const Record &rec : qAsConst(answers))
            m_lastMulticast.insert(recordKey(rec, l.index, r.ipv6), now);
    }
}

QVector<Record> Core::additionalsFor(const QVector<Record> &answers, const Link &l, bool ipv6)
{
    // RFC 6763 section 12: with a PTR, the instance's SRV and TXT; with an SRV, the
    // target's addresses. Nothing that the answers already hold.
    QVector<Record> extra;
    auto add = [&](const QByteArray &name, quint16 t1, quint16 t2) {
        const auto range = m_index.equal_range(NameKey{name});
        for (auto it = range.first; it != range.second; ++it) {
            const Entry &e = it->entry();
            if ((e.record.type != t1 && e.record.type != t2) || !answering(*it->group) ||
                !applies(e, l.index, ipv6))
                continue;
            Record r = e.record;
            r.cacheFlush = e.unique;
            if (!holdsSame(answers, r) && !holdsSame(extra, r))
                extra.append(r);
        }
    };
    for (const Record &a : answers) {
        if (a.type == TypePTR && !sameName(a.name, servicesName()))
            add(a.rdata, TypeSRV, TypeTXT);
    }
    const int services = extra.size();
    for (int i = 0; i < answers.size() + services; ++i) {
        const Record &r = i < answers.size() ? answers[i] : extra[i - answers.size()];
        if (r.type == TypeSRV)
            add(dataName(TypeSRV, r.rdata), TypeA, TypeAAAA);
    }
    return extra;
}

QVector<Record> Core::serviceTypes(const Link &l, bool ipv6)
{
    QVector<Record> out;
    for (const NameKey &type : qAsConst(m_types)) {
        if (typeHeld(type.name, l, ipv6))
            out.append(makeRecord(servicesName(), TypePTR, OtherTtl, type.name));
    }
    return out;
}

bool Core::typeHeld(const QByteArray &type, const Link &l, bool ipv6) const
{
    const auto range = m_index.equal_range(NameKey{type});
    for (auto it = range.first; it != range.second; ++it) {
        if (it->entry().typeListed && answering(*it->group) && applies(it->entry(), l.index, ipv6))
            return true;
    }
    return false;
}

QVector<quint16> Core::typesOf(const QByteArray &name, const Link &l, bool ipv6) const
{
    QVector<quint16> types;
    const auto range = m_index.equal_range(NameKey{name});
    for (auto it = range.first; it != range.second; ++it) {
        if (answering(*it->group) && applies(it->entry(), l.index, ipv6) &&
            !types.contains(it->entry().record.type))
            types.append(it->entry().record.type);
    }
    return types;
}

uint qHash(const NameKey &key, uint seed)
{
    const quint64 h = fnvName(14695981039346656037ull ^ seed, key.name);
    return uint(h ^ (h >> 32));
}

quint64 Core::recordKey(const Record &r, int link, bool ipv6) const
{
    quint64 h = 14695981039346656037ull;
    const qint32 head[3] = {link, ipv6, r.type};
    h = fnv(h, reinterpret_cast<const char *>(head), sizeof head);
    h = fnvName(h, r.name);
    return fnv(h, r.rdata.constData(), r.rdata.size());
}

qint64 Core::lastMulticast(const Record &r, int link, bool ipv6) const
{
    return m_lastMulticast.value(recordKey(r, link, ipv6), -1);
}

void Core::noteSent(const QByteArray &packet)
{
    m_sentPackets.insert(packetHash(packet), m_clock.now());
}

bool Core::isOwn(const QByteArray &packet) const
{
    const qint64 sent = m_sentPackets.value(packetHash(packet));
    return sent >= 0 && m_clock.now() - sent <= OwnPacketMs;
}

void Core::prune()
{
    const qint64 now = m_clock.now();
    m_lastMulticast.dropBefore(now - LastMulticastKeptMs);
    m_sentPackets.dropBefore(now - OwnPacketMs);
    m_nextPrune = now + PruneEveryMs;
}

} // namespace QZeroConfInternal::Mdns
