// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "querier_p.h"

#include "../logging_p.h"
#include "core_p.h"

#include <QSet>
#include <QtEndian>

#include <algorithm>

namespace QZeroConfInternal::Mdns {

namespace {

// RFC 6762 section 5.2: the first query after 20-120 ms, then one second, doubling up
// to an hour.
constexpr int FirstQueryLowMs = 20, FirstQueryHighMs = 120;
constexpr qint64 FirstIntervalMs = 1000;
constexpr qint64 MaxIntervalMs = 3600 * 1000;
// A browse reports "all for now" a second after its first query; a resolve that has
// nothing after five seconds says so (it goes on listening).
constexpr qint64 AllForNowMs = 1000;
constexpr qint64 ResolveTimeoutMs = 5000;
// Section 10.1 and 10.2: goodbyes and flushed records go one second later.
constexpr qint64 GraceMs = 1000;
// Section 10.5: two queries unanswered for ten seconds flush a record.
constexpr qint64 PoofMs = 10000;
// A bound on what strangers can make us hold.
constexpr int MaxCached = 20000;

bool sameLinkAndData(const Record &a, const Record &b)
{
    return a.sameData(b);
}

QList<QByteArray> txtStrings(const QByteArray &rdata)
{
    QList<QByteArray> strings;
    for (int i = 0; i < rdata.size();) {
        const int len = quint8(rdata[i]);
        if (len)
            strings.append(rdata.mid(i + 1, len));
        i += 1 + len;
    }
    return strings;
}

// The address an A or AAAA record holds; null for anything else.
QHostAddress addressOf(const Record &r)
{
    const QByteArray &d = r.rdata;
    if (r.type == TypeA && d.size() == 4)
        return QHostAddress(qFromBigEndian<quint32>(d.constData()));
    if (r.type == TypeAAAA && d.size() == 16)
        return QHostAddress(reinterpret_cast<const quint8 *>(d.constData()));
    return QHostAddress();
}

} // namespace

Querier::Querier(QRandomGenerator &random, SendFn send) : m_random(random), m_send(std::move(send))
{}

Querier::LookupId Querier::browse(const QByteArray &type, int protocol, BrowseFn callback,
                                  qint64 now)
{
    Lookup l;
    l.kind = Kind::Browse;
    l.name = type;
    l.protocol = protocol;
    l.browsed = std::move(callback);
    l.nextQuery = now + m_random.bounded(FirstQueryLowMs, FirstQueryHighMs + 1);
    l.interval = FirstIntervalMs;
    l.deadline = l.nextQuery + AllForNowMs;
    l.serial = m_serial;
    const LookupId id = ++m_lastId;
    m_lookups.emplace(id, std::move(l));
    return id;
}

Querier::LookupId Querier::resolve(int link, int protocol, const QByteArray &instance,
                                   int addressProtocol, ResolveFn callback, qint64 now)
{
    Lookup l;
    l.kind = Kind::Resolve;
    l.name = instance;
    l.link = link;
    l.protocol = protocol;
    l.addressProtocol = addressProtocol;
    l.resolved = std::move(callback);
    // What the cache holds is reported at the first wake-up, outside this call.
    l.nextQuery = now;
    l.interval = FirstIntervalMs;
    l.deadline = now + ResolveTimeoutMs;
    ++m_interest[lowerName(instance)];
    const LookupId id = ++m_lastId;
    m_lookups.emplace(id, std::move(l));
    return id;
}

void Querier::cancel(LookupId id)
{
    const auto it = m_lookups.find(id);
    if (it == m_lookups.end())
        return;
    if (it->second.kind == Kind::Resolve)
        unmark(it->second.name);
    m_lookups.erase(it);
}

void Querier::setLinks(const QVector<Link> &links)
{
    m_links.clear();
    for (const Link &l : links) {
        for (bool v6 : {false, true}) {
            if (l.carries(v6))
                m_links.append(qMakePair(l.index, v6));
        }
    }
}

bool Querier::covers(const Lookup &l, int link, bool ipv6) const
{
    return (l.link == AnyInterface || l.link == link) &&
           (l.protocol == AnyProtocol || l.protocol == (ipv6 ? IPv6 : IPv4));
}

bool Querier::browsed(const QByteArray &type) const
{
    return std::any_of(m_lookups.begin(), m_lookups.end(), [&](const auto &it) {
        return it.second.kind == Kind::Browse && sameName(it.second.name, type);
    });
}

void Querier::unmark(const QByteArray &name)
{
    const QByteArray key = lowerName(name);
    const auto it = m_interest.find(key);
    if (it != m_interest.end() && --*it <= 0)
        m_interest.erase(it);
}

// Only what a lookup may need is kept: the browsed types' PTRs, the SRV and TXT of
// their instances, the addresses of the SRV targets.
bool Querier::cacheable(const Record &r) const
{
    if (r.type == TypePTR && browsed(r.name))
        return true;
    if (r.type != TypeSRV && r.type != TypeTXT && r.type != TypeA && r.type != TypeAAAA)
        return false;
    return m_interest.contains(lowerName(r.name));
}

void Querier::heardResponse(const Message &m, int link, bool ipv6, qint64 now)
{
    QSet<QByteArray> touched;
    for (const QVector<Record> *section : {&m.answers, &m.additionals}) {
        for (const Record &rec : *section) {
            if (rec.rclass != ClassIN)
                continue;
            const QByteArray key = lowerName(rec.name);
            bool known = false;
            for (auto it = m_cache.find(key); it != m_cache.end() && it.key() == key; ++it) {
                Cached &c = *it;
                if (c.link != link || c.ipv6 != ipv6 || c.record.type != rec.type)
                    continue;
                if (sameLinkAndData(c.record, rec)) {
                    known = true;
                    c.unanswered = 0;
                    c.poofAt = -1;
                    if (rec.ttl == 0) {
                        // Section 10.1: a goodbye; gone in a second.
                        c.record.ttl = 0;
                        c.expires = std::min(c.expires, now + GraceMs);
                        c.refreshAt = -1;
                    } else {
                        c.record.ttl = rec.ttl;
                        c.received = now;
                        c.expires = now + qint64(rec.ttl) * 1000;
                        c.refreshes = 0;
                        scheduleRefresh(c);
                    }
                } else if (rec.cacheFlush && rec.ttl && now - c.received > GraceMs) {
                    // Section 10.2: other data under a unique name and type is flushed,
                    // but not what came within the last second (the same burst).
                    c.expires = std::min(c.expires, now + GraceMs);
                    c.refreshAt = -1;
                }
            }
            if (known || rec.ttl == 0 || !cacheable(rec))
                continue;
            if (m_cache.size() >= MaxCached) {
                if (!m_full)
                    qCInfo(lcZeroConfEngine, "mDNS cache full: new records are not kept");
                m_full = true;
                continue;
            }
            Cached c;
            c.record = rec;
            c.record.cacheFlush = false;
            c.link = link;
            c.ipv6 = ipv6;
            c.received = now;
            c.expires = now + qint64(rec.ttl) * 1000;
            c.serial = ++m_serial;
            scheduleRefresh(c);
            m_cache.insert(key, c);
            added(c);
            touched.insert(key);
        }
    }
    for (const QByteArray &key : qAsConst(touched))
        updateResolves(key, now);
}

void Querier::heardQuery(const Message &m, int link, bool ipv6, qint64 now)
{
    // Section 10.5: queries for a record that nobody answers.
    for (const Question &q : m.questions) {
        const QByteArray key = lowerName(q.name);
        for (auto it = m_cache.find(key); it != m_cache.end() && it.key() == key; ++it) {
            Cached &c = *it;
            if (c.link != link || c.ipv6 != ipv6 || (q.type != TypeANY && q.type != c.record.type))
                continue;
            const bool knownToIt =
                std::any_of(m.answers.begin(), m.answers.end(),
                            [&](const Record &k) { return k.sameData(c.record); });
            if (!knownToIt && ++c.unanswered == 2)
                c.poofAt = now + PoofMs;
        }
    }
}

void Querier::added(const Cached &c)
{
    if (c.record.type == TypePTR) {
        ++m_interest[lowerName(c.record.rdata)];
        for (auto &it : m_lookups) {
            Lookup &l = it.second;
            if (l.kind == Kind::Browse && covers(l, c.link, c.ipv6) &&
                sameName(l.name, c.record.name))
                l.browsed(BrowseEvent::New, c.link, c.ipv6, c.record.rdata);
        }
    } else if (c.record.type == TypeSRV) {
        ++m_interest[lowerName(dataName(TypeSRV, c.record.rdata))];
    }
}

void Querier::reportCached(Lookup &l)
{
    QVector<Cached> held;
    const QByteArray key = lowerName(l.name);
    for (auto it = m_cache.find(key); it != m_cache.end() && it.key() == key; ++it) {
        // Those cached since the lookup began were reported as they came.
        if (it->record.type == TypePTR && it->record.ttl && it->serial <= l.serial &&
            covers(l, it->link, it->ipv6))
            held.append(*it);
    }
    for (const Cached &c : qAsConst(held))
        l.browsed(BrowseEvent::New, c.link, c.ipv6, c.record.rdata);
}

void Querier::removed(const Cached &c, qint64 now)
{
    if (c.record.type == TypePTR) {
        unmark(c.record.rdata);
        for (auto &it : m_lookups) {
            Lookup &l = it.second;
            if (l.kind == Kind::Browse && covers(l, c.link, c.ipv6) &&
                sameName(l.name, c.record.name))
                l.browsed(BrowseEvent::Remove, c.link, c.ipv6, c.record.rdata);
        }
    } else if (c.record.type == TypeSRV) {
        unmark(dataName(TypeSRV, c.record.rdata));
    }
    updateResolves(lowerName(c.record.name), now);
}

void Querier::updateResolves(const QByteArray &lowerName_, qint64 now)
{
    for (auto &it : m_lookups) {
        Lookup &l = it.second;
        if (l.kind != Kind::Resolve)
            continue;
        Resolution r;
        const bool found = resolution(l, &r);
        const bool concerned = sameName(lowerName(l.name), lowerName_) ||
                               sameName(lowerName(l.last.host), lowerName_) ||
                               (found && sameName(lowerName(r.host), lowerName_));
        if (concerned)
            report(l, now);
    }
}

const Querier::Cached *Querier::cached(const QByteArray &name, quint16 type, int link,
                                       int protocol) const
{
    const QByteArray key = lowerName(name);
    for (auto it = m_cache.find(key); it != m_cache.end() && it.key() == key; ++it) {
        if (it->record.type == type && (link == AnyInterface || it->link == link) &&
            it->record.ttl && (protocol == AnyProtocol || protocol == (it->ipv6 ? IPv6 : IPv4)))
            return &*it;
    }
    return nullptr;
}

bool Querier::resolution(const Lookup &l, Resolution *out) const
{
    const Cached *srv = cached(l.name, TypeSRV, l.link, l.protocol);
    const Cached *txt = cached(l.name, TypeTXT, l.link, l.protocol);
    if (!srv || !txt || srv->record.rdata.size() < 7)
        return false;
    out->host = dataName(TypeSRV, srv->record.rdata);
    out->port = quint16((quint8(srv->record.rdata[4]) << 8) | quint8(srv->record.rdata[5]));
    out->txt = txtStrings(txt->record.rdata);
    // Addresses come over either IP version: A over IPv6 is as good.
    const QVector<quint16> types = l.addressProtocol == IPv4   ? QVector<quint16>{TypeA}
                                   : l.addressProtocol == IPv6 ? QVector<quint16>{TypeAAAA}
                                   : l.protocol == IPv6        ? QVector<quint16>{TypeAAAA, TypeA}
                                                               : QVector<quint16>{TypeA, TypeAAAA};
    // An address once reported stays while it is cached: one of the other IP version
    // that comes later is no change of the service.
    if (l.haveResult && !l.last.address.isNull() &&
        sameName(lowerName(l.last.host), lowerName(out->host))) {
        const QByteArray key = lowerName(out->host);
        for (auto it = m_cache.find(key); it != m_cache.end() && it.key() == key; ++it) {
            const Record &a = it->record;
            if (a.ttl && (l.link == AnyInterface || it->link == l.link) && types.contains(a.type) &&
                addressOf(a) == l.last.address) {
                out->address = l.last.address;
                return true;
            }
        }
    }
    for (quint16 t : types) {
        if (const Cached *a = cached(out->host, t, l.link, AnyProtocol)) {
            out->address = addressOf(a->record);
            if (!out->address.isNull())
                return true;
        }
    }
    return false;
}

void Querier::report(Lookup &l, qint64 now)
{
    Resolution r;
    if (resolution(l, &r)) {
        const bool same = l.haveResult && r.host == l.last.host && r.port == l.last.port &&
                          r.txt == l.last.txt && r.address == l.last.address;
        l.haveResult = true;
        l.last = r;
        l.nextQuery = -1; // complete: the cache's refresh queries keep it so
        if (!same)
            l.resolved(true, r);
    } else {
        if (l.nextQuery < 0) {
            // Something went: ask again, from the first interval.
            l.nextQuery = now;
            l.interval = FirstIntervalMs;
        }
        if (l.haveResult) {
            l.haveResult = false;
            l.last = Resolution();
            l.resolved(false, r);
        }
    }
}

QVector<Question> Querier::questionsFor(const Lookup &l, int link, bool ipv6) const
{
    QVector<Question> qs;
    if (l.kind == Kind::Browse) {
        qs.append(Question{l.name, TypePTR, ClassIN, false});
        return qs;
    }
    const int protocol = ipv6 ? IPv6 : IPv4;
    const Cached *srv = cached(l.name, TypeSRV, link, protocol);
    if (!srv)
        qs.append(Question{l.name, TypeSRV, ClassIN, false});
    if (!cached(l.name, TypeTXT, link, protocol))
        qs.append(Question{l.name, TypeTXT, ClassIN, false});
    if (srv) {
        const QByteArray host = dataName(TypeSRV, srv->record.rdata);
        if (l.addressProtocol != IPv6 && !cached(host, TypeA, link, AnyProtocol))
            qs.append(Question{host, TypeA, ClassIN, false});
        if (l.addressProtocol != IPv4 && !cached(host, TypeAAAA, link, AnyProtocol))
            qs.append(Question{host, TypeAAAA, ClassIN, false});
    }
    return qs;
}

void Querier::sendQuery(Lookup &l, qint64 now)
{
    for (const auto &p : qAsConst(m_links)) {
        if (!covers(l, p.first, p.second))
            continue;
        const QVector<Question> qs = questionsFor(l, p.first, p.second);
        if (!qs.isEmpty())
            query(p.first, p.second, qs, now);
    }
    l.nextQuery = now + l.interval;
    l.interval = std::min(l.interval * 2, MaxIntervalMs);
}

void Querier::query(int link, bool ipv6, const QVector<Question> &questions, qint64 now)
{
    // Section 7.1: the answers we hold with more than half their TTL left go along, so
    // that nobody repeats them; section 7.2: those that do not fit follow in further
    // packets, each but the last with TC set.
    QVector<Record> known;
    for (const Question &q : questions) {
        const QByteArray key = lowerName(q.name);
        for (auto it = m_cache.find(key); it != m_cache.end() && it.key() == key; ++it) {
            const Cached &c = *it;
            const qint64 left = c.expires - now;
            if (c.link == link && c.ipv6 == ipv6 && c.record.type == q.type && c.record.ttl &&
                left > qint64(c.record.ttl) * 500) {
                Record r = c.record;
                r.ttl = quint32(left / 1000);
                known.append(r);
            }
        }
    }
    MessageWriter w(0, 0);
    for (const Question &q : questions)
        w.add(q);
    for (const Record &r : qAsConst(known)) {
        if (w.add(Section::Answer, r))
            continue;
        w.setFlags(FlagTruncated);
        m_send(link, ipv6, w.message());
        w = MessageWriter(0, 0);
        w.add(Section::Answer, r);
    }
    m_send(link, ipv6, w.message());
}

void Querier::scheduleRefresh(Cached &c)
{
    // Section 5.2: at 80, 85, 90 and 95 % of the TTL, each with up to 2 % more drawn.
    if (c.refreshes >= 4 || c.record.ttl == 0) {
        c.refreshAt = -1;
        return;
    }
    const qint64 percent = 80 + 5 * c.refreshes;
    const qint64 ttlMs = qint64(c.record.ttl) * 1000;
    c.refreshAt = c.received + ttlMs * percent / 100 + m_random.bounded(int(ttlMs / 50) + 1);
}

bool Querier::wanted(const Cached &c) const
{
    for (const auto &it : m_lookups) {
        const Lookup &l = it.second;
        if (!covers(l, c.link, c.ipv6))
            continue;
        if (l.kind == Kind::Browse && c.record.type == TypePTR && sameName(l.name, c.record.name))
            return true;
        if (l.kind == Kind::Resolve &&
            (sameName(l.name, c.record.name) || sameName(l.last.host, c.record.name)))
            return true;
    }
    return false;
}

void Querier::wake(qint64 now)
{
    // Expiry first, so that what went is neither refreshed nor offered as known.
    QVector<Cached> gone;
    for (auto it = m_cache.begin(); it != m_cache.end();) {
        if (it->expires <= now || (it->poofAt >= 0 && it->poofAt <= now)) {
            gone.append(*it);
            it = m_cache.erase(it);
        } else {
            ++it;
        }
    }
    if (!gone.isEmpty())
        m_full = false;
    for (const Cached &c : qAsConst(gone))
        removed(c, now);

    QMap<QPair<int, bool>, QVector<Question>> refreshes;
    for (auto it = m_cache.begin(); it != m_cache.end(); ++it) {
        Cached &c = *it;
        if (c.refreshAt < 0 || c.refreshAt > now)
            continue;
        if (wanted(c))
            refreshes[qMakePair(c.link, c.ipv6)].append(
                Question{c.record.name, c.record.type, ClassIN, false});
        ++c.refreshes;
        scheduleRefresh(c);
    }
    for (auto it = refreshes.constBegin(); it != refreshes.constEnd(); ++it)
        query(it.key().first, it.key().second, it.value(), now);

    // Callbacks must not call back in, but a snapshot of the ids costs little.
    QVector<LookupId> ids;
    for (const auto &it : m_lookups)
        ids.append(it.first);
    for (LookupId id : qAsConst(ids)) {
        const auto it = m_lookups.find(id);
        if (it == m_lookups.end())
            continue;
        Lookup &l = it->second;
        if (!l.reported) {
            // What the cache holds already (another lookup of the same type keeps it),
            // at once: its queries will carry it as known, so no answer would tell.
            l.reported = true;
            if (l.kind == Kind::Resolve)
                report(l, now);
            else
                reportCached(l);
        }
        if (l.nextQuery >= 0 && l.nextQuery <= now)
            sendQuery(l, now);
        if (l.deadline >= 0 && l.deadline <= now) {
            l.deadline = -1;
            if (l.kind == Kind::Browse)
                l.browsed(BrowseEvent::AllForNow, AnyInterface, false, QByteArray());
            else if (!l.haveResult)
                l.resolved(false, Resolution());
        }
    }
}

qint64 Querier::nextWake() const
{
    qint64 next = -1;
    auto consider = [&next](qint64 t) {
        if (t >= 0 && (next < 0 || t < next))
            next = t;
    };
    for (const Cached &c : m_cache) {
        consider(c.expires);
        consider(c.refreshAt);
        consider(c.poofAt);
    }
    for (const auto &it : m_lookups) {
        consider(it.second.nextQuery);
        consider(it.second.deadline);
        if (!it.second.reported)
            consider(0);
    }
    return next;
}

} // namespace QZeroConfInternal::Mdns
