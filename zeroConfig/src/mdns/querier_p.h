// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_MDNS_QUERIER_P_H
#define QZEROCONF_MDNS_QUERIER_P_H

#include "../engine_p.h"
#include "wire_p.h"

#include <QMultiHash>
#include <QRandomGenerator>

#include <functional>
#include <map>

// The browsing half of the engine: a cache of the records heard on each link, and the
// lookups (browse a type, resolve an instance) that query for them. Core owns it,
// hands it every response and query it hears, sends what it asks, and wakes it.
namespace QZeroConfInternal::Mdns {

struct Link;

class Querier
{
public:
    using LookupId = quint32;
    // An instance of a browsed type appeared (New) or went (Remove) on a link.
    using BrowseFn = std::function<void(BrowseEvent, int link, bool ipv6, const QByteArray &)>;
    struct Resolution
    {
        QByteArray host; // wire form
        quint16 port = 0;
        QList<QByteArray> txt;
        QHostAddress address;
    };
    // found false: not resolved in time, or gone.
    using ResolveFn = std::function<void(bool found, const Resolution &)>;
    // Sends a query packet on a link.
    using SendFn = std::function<void(int link, bool ipv6, const QByteArray &packet)>;

    Querier(QRandomGenerator &random, SendFn send);

    LookupId browse(const QByteArray &type, int protocol, BrowseFn callback, qint64 now);
    LookupId resolve(int link, int protocol, const QByteArray &instance, int addressProtocol,
                     ResolveFn callback, qint64 now);
    void cancel(LookupId id);

    void setLinks(const QVector<Link> &links);
    // What was heard on a link: responses fill the cache, queries from others feed the
    // passive observation of failures (RFC 6762 section 10.5).
    void heardResponse(const Message &m, int link, bool ipv6, qint64 now);
    void heardQuery(const Message &m, int link, bool ipv6, qint64 now);
    void wake(qint64 now);
    qint64 nextWake() const; // -1: nothing to do

    int cachedRecords() const { return m_cache.size(); }

private:
    struct Cached
    {
        Record record;
        int link = 0;
        bool ipv6 = false;
        qint64 received = 0;
        qint64 expires = 0;
        qint64 refreshAt = -1; // next re-query (80, 85, 90, 95 % of the TTL)
        int refreshes = 0;
        int unanswered = 0; // queries seen for it since it was last heard
        qint64 poofAt = -1; // flushed then unless heard again
        quint64 serial = 0; // order of insertion, against lookups' serials
    };

    enum class Kind { Browse, Resolve };
    struct Lookup
    {
        Kind kind = Kind::Browse;
        QByteArray name; // the type browsed, or the instance resolved
        int link = AnyInterface;
        int protocol = AnyProtocol;
        int addressProtocol = AnyProtocol;
        BrowseFn browsed;
        ResolveFn resolved;
        qint64 nextQuery = 0;
        qint64 interval = 0;
        qint64 deadline = -1;  // AllForNow of a browse, or the resolve's time-out
        bool reported = false; // the first look at the cache
        quint64 serial = 0;    // records cached up to this one it has not been told of
        bool haveResult = false;
        Resolution last;
    };

    bool covers(const Lookup &l, int link, bool ipv6) const;
    bool browsed(const QByteArray &type) const;
    bool cacheable(const Record &r) const;
    void unmark(const QByteArray &name);
    void added(const Cached &c);
    void removed(const Cached &c, qint64 now);
    void reportCached(Lookup &l);
    void updateResolves(const QByteArray &lowerName, qint64 now);
    const Cached *cached(const QByteArray &name, quint16 type, int link, int protocol) const;
    bool resolution(const Lookup &l, Resolution *out) const;
    void report(Lookup &l, qint64 now);
    QVector<Question> questionsFor(const Lookup &l, int link, bool ipv6) const;
    void sendQuery(Lookup &l, qint64 now);
    void query(int link, bool ipv6, const QVector<Question> &questions, qint64 now);
    void scheduleRefresh(Cached &c);
    bool wanted(const Cached &c) const;

    QRandomGenerator &m_random;
    SendFn m_send;
    QVector<QPair<int, bool>> m_links;      // (interface, IPv6) we can query on
    QMultiHash<QByteArray, Cached> m_cache; // by lowercased owner name
    // Lowercased names whose records lookups need: instances of browsed types and of
    // resolves, SRV targets; counted, so that the last one going drops the name.
    QHash<QByteArray, int> m_interest;
    std::map<LookupId, Lookup> m_lookups;
    LookupId m_lastId = 0;
    quint64 m_serial = 0;
    bool m_full = false; // logged once until something expires
};

} // namespace QZeroConfInternal::Mdns

#endif
