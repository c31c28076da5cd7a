// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "widebrowse_p.h"

#include "../logging_p.h"
#include "dnsexchange_p.h"

#include <ldns/ldns.h>

#include <algorithm>
#include <set>

namespace QZeroConfInternal {
namespace Unicast {

namespace {

const char ResolvConf[] = "/etc/resolv.conf";
// How long "nothing there" is believed where the answer does not say (no SOA with it).
constexpr quint32 DefaultNegativeTtl = 60;
const QString NoAnswer = QStringLiteral("does not answer");

QByteArray lower(const QByteArray &name)
{
    return canonicalName(name).toLower();
}

// One RRset read the same however the server orders it (round robin, say).
QList<Record> sorted(QList<Record> records)
{
    std::sort(records.begin(), records.end(),
              [](const Record &a, const Record &b) { return a.raw < b.raw; });
    return records;
}

bool sameRecords(const QList<Record> &a, const QList<Record> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Record &x, const Record &y) {
        return x.raw == y.raw && sameName(x.owner, y.owner);
    });
}

// "_printer._sub._ipp._tcp" is browsed, but the instances are of "_ipp._tcp".
QString serviceTypeOf(const QByteArray &type)
{
    const int sub = type.indexOf("._sub.");
    return QString::fromUtf8(sub < 0 ? type : type.mid(sub + 6));
}

} // namespace

Question::Question(WideAreaBrowser *browser, const QByteArray &name, int type,
                   const QByteArray &domain)
    : m_browser(browser), m_name(name), m_type(type), m_domain(domain),
      m_exchange(new DnsExchange(this))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { enter(State::Queued); });
    connect(m_exchange, &DnsExchange::answered, this, &Question::answered);
    connect(m_exchange, &DnsExchange::failed, this, &Question::failed);
    enter(State::Queued);
}

Question::~Question()
{
    m_browser->forget(this);
}

void Question::askSoon()
{
    if (m_state == State::Fresh || m_state == State::BackingOff) {
        m_backoffMs = 0;
        enter(State::Queued);
    }
}

// Every transition passes here.
void Question::enter(State state, int ms)
{
    m_state = state;
    m_timer.stop();
    switch (state) {
    case State::Queued:
        m_browser->want(this);
        break;
    case State::Asking: {
        QString why;
        m_out = buildQuery(m_name, m_type, &why);
        if (m_out.wire.isEmpty()) {
            // A name that no query can carry (too long, say): nothing is there to find.
            qCDebug(lcZeroConf).noquote() << QStringLiteral("wide-area browsing: %1").arg(why);
            m_settled = true;
            m_browser->done(this);
            enter(State::Fresh, m_browser->m_maxTtlMs);
            return;
        }
        m_serverIndex = m_browser->m_server;
        m_exchange->send(m_out.wire, m_browser->server(m_serverIndex), m_browser->m_port);
        break;
    }
    case State::Fresh:
    case State::BackingOff:
        m_timer.start(ms);
        break;
    }
}

void Question::answered(const QByteArray &wire)
{
    Answer a;
    QString why;
    if (!parseAnswer(wire, m_out, TsigKey(), &a, &why))
        return failed(QStringLiteral("sent a malformed answer"));
    // NXDOMAIN is an answer too: nothing there. Anything else says nothing of the name.
    if (a.rcode != NoError && a.rcode != NxDomain)
        return failed(QStringLiteral("answered %1").arg(rcodeName(a.rcode)));
    QList<Record> now;
    quint32 ttl = UINT32_MAX;
    for (const Record &r : qAsConst(a.answer)) {
        if (r.type == m_type) {
            now.append(r);
            ttl = qMin(ttl, r.ttl);
        }
    }
    if (now.isEmpty())
        ttl = a.negativeTtl(DefaultNegativeTtl);
    now = sorted(now);
    const bool differs = !m_settled || !sameRecords(now, m_records);
    m_records = now;
    m_settled = true;
    m_backoffMs = 0;
    m_browser->done(this);
    m_browser->recovered(m_domain);
    const qint64 ms =
        qBound(qint64(m_browser->m_minTtlMs), qint64(ttl) * 1000, qint64(m_browser->m_maxTtlMs));
    enter(State::Fresh, int(ms));
    if (differs)
        emit changed();
}

void Question::failed(const QString &why)
{
    m_browser->done(this);
    m_browser->fault(m_domain, why, m_browser->server(m_serverIndex));
    // The next resolver, if there is one; once, however many questions found this one mute.
    if (why == NoAnswer && m_browser->m_server == m_serverIndex)
        ++m_browser->m_server;
    // The last answer stands meanwhile: a hiccup of the site's DNS loses no printer.
    m_backoffMs = m_backoffMs ? qMin(m_backoffMs * 2, WideAreaBrowser::MaxBackoffMs) : 1000;
    const bool first = !m_settled;
    m_settled = true;
    enter(State::BackingOff, m_backoffMs);
    if (first) // what else is known may be enough: an A record where AAAA fails, say
        emit changed();
}

WideAreaBrowser::WideAreaBrowser(const QByteArray &type, int protocol,
                                 const WideAreaBrowseSettings &settings,
                                 const WideAreaBrowseSink &sink)
    : m_type(type), m_serviceType(serviceTypeOf(type)), m_protocol(protocol), m_settings(settings),
      m_sink(sink)
{
    connect(&m_watch, &QFileSystemWatcher::fileChanged, this, [this] {
        // Replaced rather than rewritten, the file drops out of the watch.
        if (!m_watch.files().contains(QLatin1String(ResolvConf)))
            m_watch.addPath(QLatin1String(ResolvConf));
        readResolverConfig();
    });
}

WideAreaBrowser::~WideAreaBrowser()
{
    // The counts of faults that lasted until now, which no answer told.
    for (auto it = m_faults.cbegin(); it != m_faults.cend(); ++it) {
        if (it.value() > 1)
            qCWarning(lcZeroConf).noquote()
                << QStringLiteral(
                       "wide-area browsing in %1: %2 faults \"%3\" until browsing stopped")
                       .arg(readableName(it.key().first))
                       .arg(it.value())
                       .arg(it.key().second);
    }
    m_closing = true;
    m_domains.clear();
    m_discovery.clear();
}

void WideAreaBrowser::useResolver(const QHostAddress &address, quint16 port)
{
    m_servers = {address};
    m_port = port;
    m_fixedServer = true;
}

void WideAreaBrowser::useSearchDomains(const QList<QByteArray> &domains)
{
    m_search = domains;
    m_fixedSearch = true;
}

void WideAreaBrowser::setTtlBounds(int minMs, int maxMs)
{
    m_minTtlMs = minMs;
    m_maxTtlMs = maxMs;
}

void WideAreaBrowser::start()
{
    if (!m_fixedServer || !m_fixedSearch)
        m_watch.addPath(QLatin1String(ResolvConf));
    const ResolverConfig config = canonicalResolverConfig(systemResolverConfig());
    if (!m_fixedServer)
        m_servers = config.servers;
    if (!m_fixedSearch)
        m_search = config.search;
    for (const QByteArray &domain : m_settings.domains)
        browseIn(canonicalName(domain));
    if (m_settings.domains.isEmpty()) {
        discover();
        pickDomains();
    }
}

void WideAreaBrowser::readResolverConfig()
{
    const ResolverConfig config = canonicalResolverConfig(systemResolverConfig());
    const bool newServers = !m_fixedServer && config.servers != m_servers;
    const bool newSearch = !m_fixedSearch && config.search != m_search;
    if (!newServers && !newSearch)
        return;
    qCDebug(lcZeroConf) << "wide-area browsing: the resolver configuration changed";
    if (newServers) {
        m_servers = config.servers;
        m_server = 0;
    }
    if (newSearch) {
        m_search = config.search;
        if (m_settings.domains.isEmpty()) {
            discover();
            pickDomains();
        }
    }
    askAgainNow();
}

void WideAreaBrowser::askAgainNow()
{
    for (const auto &q : m_discovery)
        q->askSoon();
    for (const auto &d : m_domains) {
        d.second->ptr->askSoon();
        for (const auto &i : d.second->instances) {
            for (Question *q : {i.second->srv.get(), i.second->txt.get(), i.second->a.get(),
                                i.second->aaaa.get()})
                if (q)
                    q->askSoon();
        }
    }
}

std::unique_ptr<Question> WideAreaBrowser::question(const QByteArray &name, int type,
                                                    const QByteArray &domain,
                                                    std::function<void()> changed)
{
    std::unique_ptr<Question> q(new Question(this, name, type, domain));
    connect(q.get(), &Question::changed, this, std::move(changed));
    return q;
}

void WideAreaBrowser::discover()
{
    m_discovery.clear();
    for (const QByteArray &search : qAsConst(m_search)) {
        for (const char *prefix : {"b._dns-sd._udp.", "db._dns-sd._udp."})
            m_discovery.push_back(question(prefix + search, LDNS_RR_TYPE_PTR, QByteArray(),
                                           [this] { pickDomains(); }));
    }
}

void WideAreaBrowser::pickDomains()
{
    QList<QByteArray> wanted;
    if (!m_settings.registrationDomain.isEmpty())
        wanted.append(canonicalName(m_settings.registrationDomain));
    for (const auto &q : m_discovery) {
        for (const Record &r : q->records())
            wanted.append(canonicalName(r.rdata.value(0)));
    }
    std::set<QByteArray> keys;
    for (const QByteArray &d : qAsConst(wanted)) {
        keys.insert(lower(d));
        browseIn(d);
    }
    for (auto it = m_domains.begin(); it != m_domains.end();) {
        if (keys.count(it->first)) {
            ++it;
            continue;
        }
        qCDebug(lcZeroConf).noquote()
            << QStringLiteral("wide-area browsing: no longer in %1").arg(readableName(it->first));
        for (const auto &i : it->second->instances)
            lose(it->second.get(), i.second.get());
        it = m_domains.erase(it);
    }
}

void WideAreaBrowser::browseIn(const QByteArray &domain)
{
    const QByteArray key = lower(domain);
    // "local" is multicast DNS's (RFC 6762 section 3): the mDNS browse has it.
    if (key.isEmpty() || key == "local." || m_domains.count(key))
        return;
    qCDebug(lcZeroConf).noquote() << QStringLiteral("wide-area browsing: %1 in %2")
                                         .arg(QString::fromUtf8(m_type), readableName(domain));
    auto *d = new Domain;
    m_domains[key].reset(d);
    d->name = canonicalName(domain);
    d->ptr = question(canonicalName(m_type + '.' + d->name), LDNS_RR_TYPE_PTR, d->name,
                      [this, d] { ptrChanged(d); });
}

void WideAreaBrowser::ptrChanged(Domain *d)
{
    std::set<QByteArray> now;
    for (const Record &r : d->ptr->records()) {
        const QByteArray name = canonicalName(r.rdata.value(0));
        if (name.isEmpty() || labelsOf(name).isEmpty())
            continue;
        const QByteArray key = lower(name);
        now.insert(key);
        if (d->instances.count(key))
            continue;
        auto *i = new Instance;
        d->instances[key].reset(i);
        i->name = name;
        i->srv = question(name, LDNS_RR_TYPE_SRV, d->name, [this, d, i] { instanceChanged(d, i); });
        i->txt = question(name, LDNS_RR_TYPE_TXT, d->name, [this, d, i] { instanceChanged(d, i); });
    }
    for (auto it = d->instances.begin(); it != d->instances.end();) {
        if (now.count(it->first)) {
            ++it;
        } else {
            lose(d, it->second.get());
            it = d->instances.erase(it);
        }
    }
}

void WideAreaBrowser::instanceChanged(Domain *d, Instance *i)
{
    if (!i->srv->settled() || !i->txt->settled())
        return;
    // The lowest priority wins (RFC 2782); a weight is no reason to report a change.
    const Record *srv = nullptr;
    for (const Record &r : i->srv->records()) {
        if (r.rdata.size() == 4 && (!srv || r.rdata[0].toUInt() < srv->rdata[0].toUInt()))
            srv = &r;
    }
    if (!srv) // nothing half-resolved is reported: the instance is gone until it is whole
        return lose(d, i);
    const QByteArray target = canonicalName(srv->rdata[3]);
    if (target.isEmpty())
        return lose(d, i);
    if (!sameName(target, i->target)) {
        i->target = target;
        i->a.reset();
        i->aaaa.reset();
        auto again = [this, d, i] {
            instanceChanged(d, i);
        };
        if (m_protocol != IPv6)
            i->a = question(target, LDNS_RR_TYPE_A, d->name, again);
        if (m_protocol != IPv4)
            i->aaaa = question(target, LDNS_RR_TYPE_AAAA, d->name, again);
        return;
    }
    QHostAddress ip;
    for (Question *q : {i->a.get(), i->aaaa.get()}) {
        if (q && !q->settled())
            return;
        if (q && ip.isNull() && !q->records().isEmpty())
            ip.setAddress(QString::fromLatin1(q->records().first().rdata.value(0)));
    }
    if (ip.isNull())
        return lose(d, i);

    ResolvedService s;
    s.name = QString::fromUtf8(labelsOf(i->name).value(0));
    s.type = m_serviceType;
    s.domain = readableName(d->name);
    s.host = readableName(target);
    s.ip = ip;
    s.port = quint16(srv->rdata[2].toUInt());
    // RFC 6763 section 6.1: one TXT record, its strings in order.
    const QList<Record> &txt = i->txt->records();
    s.setTxt(txt.isEmpty() ? QList<QByteArray>() : txt.first().raw);
    if (i->reported && i->last.sameData(s))
        return;
    i->reported = true;
    i->last = s;
    qCDebug(lcZeroConf) << "wide-area: resolved" << s.name << "in" << s.domain << "at" << s.host
                        << s.ip << s.port;
    m_sink.resolved(s);
}

void WideAreaBrowser::lose(Domain *d, Instance *i)
{
    Q_UNUSED(d)
    if (!i->reported)
        return;
    i->reported = false;
    m_sink.lost(i->last.name, i->last.type, i->last.domain);
}

void WideAreaBrowser::want(Question *q)
{
    if (!m_queue.contains(q))
        m_queue.append(q);
    dispatch();
}

void WideAreaBrowser::done(Question *q)
{
    Q_UNUSED(q)
    --m_inFlight;
    dispatch();
}

void WideAreaBrowser::forget(Question *q)
{
    m_queue.removeAll(q);
    if (q->state() == Question::State::Asking)
        --m_inFlight;
    if (!m_closing)
        dispatch();
}

void WideAreaBrowser::dispatch()
{
    // A few exchanges at a time: a domain of many instances must not flood the resolver.
    while (m_inFlight < MaxInFlight && !m_queue.isEmpty()) {
        ++m_inFlight;
        m_queue.takeFirst()->enter(Question::State::Asking);
    }
}

QHostAddress WideAreaBrowser::server(int index) const
{
    // The C library's default where none is configured.
    return m_servers.value(index % qMax(1, m_servers.size()),
                           QHostAddress(QHostAddress::LocalHost));
}

void WideAreaBrowser::fault(const QByteArray &domain, const QString &what,
                            const QHostAddress &address)
{
    const QString server = address.toString();
    if (domain.isEmpty()) {
        // Most sites have no browse domains; a resolver that cannot tell is no news.
        qCDebug(lcZeroConf).noquote()
            << QStringLiteral(
                   "wide-area browsing: looking for browse domains: the DNS server %1 %2")
                   .arg(server, what);
        return;
    }
    if (m_faults[qMakePair(domain, what)]++ == 0)
        qCWarning(lcZeroConf).noquote()
            << QStringLiteral("wide-area browsing in %1: the DNS server %2 %3; asking again with "
                              "back-off")
                   .arg(readableName(domain), server, what);
}

void WideAreaBrowser::recovered(const QByteArray &domain)
{
    for (auto it = m_faults.begin(); it != m_faults.end();) {
        if (it.key().first != domain) {
            ++it;
            continue;
        }
        if (it.value() > 1)
            qCWarning(lcZeroConf).noquote()
                << QStringLiteral(
                       "wide-area browsing in %1: the DNS server answers again, after %2 "
                       "faults \"%3\"")
                       .arg(readableName(domain))
                       .arg(it.value())
                       .arg(it.key().second);
        it = m_faults.erase(it);
    }
}

} // namespace Unicast
} // namespace QZeroConfInternal

// The wide-area library's entry for browsing, for the component that loads it.
extern "C" Q_DECL_EXPORT QZeroConfInternal::WideAreaBrowse *
qzeroconf_new_wide_area_browse(int interfaceVersion, const QByteArray &type, int protocol,
                               const QZeroConfInternal::WideAreaBrowseSettings &settings,
                               const QZeroConfInternal::WideAreaBrowseSink &sink)
{
    if (interfaceVersion != QZeroConfInternal::WideAreaInterfaceVersion)
        return nullptr;
    auto *browser = new QZeroConfInternal::Unicast::WideAreaBrowser(type, protocol, settings, sink);
    browser->start();
    return browser;
}
