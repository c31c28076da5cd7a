#include "widearea_p.h"

#include "../addresswatch_p.h"
#include "../hostlabel_p.h"
#include "../logging_p.h"
#include "dnsexchange_p.h"

#include <QFile>
#include <QFileInfo>

#include <ldns/ldns.h>

namespace QZeroConfInternal {
namespace Unicast {

namespace {

constexpr int MaxBackoffMs = 60000;
constexpr int WithdrawWaitMs = 1000;
constexpr int MaxRenames = 100;

QString show(const QByteArray &name)
{
    return QString::fromUtf8(name);
}

// No answer, or SERVFAIL: a resolver whose upstream is still out of reach (at boot) knows
// nothing yet, so the question is asked again later rather than read as "does not exist".
bool unanswered(const Answer *a)
{
    return !a || a->rcode == ServFail;
}

} // namespace

WideAreaRegistration::WideAreaRegistration(const PublishRequest &request,
                                           const WideAreaSettings &settings, QObject *parent)
    : QObject(parent), m_request(request), m_settings(settings), m_exchange(new DnsExchange(this))
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (m_retryStep)
            m_retryStep();
    });
    m_refresh.setSingleShot(true);
    connect(&m_refresh, &QTimer::timeout, this, [this] {
        if (m_exchange->isBusy())
            m_refresh.start(1000);
        else
            update(UpdateKind::TakeOver);
    });
    connect(m_exchange, &DnsExchange::answered, this, [this](const QByteArray &wire) {
        Answer answer;
        QString why;
        const Then then = std::move(m_then);
        if (!parseAnswer(wire, m_pending, m_key, &answer, &why)) {
            qCDebug(lcZeroConf).noquote() << QStringLiteral("wide-area: %1").arg(why);
            then(nullptr);
            return;
        }
        if (answer.rcode != ServFail) // a server that cannot answer yet is still backed off
            m_backoffMs = 0;
        then(&answer);
    });
    connect(m_exchange, &DnsExchange::failed, this, [this] {
        const Then then = std::move(m_then);
        then(nullptr);
    });
    m_reg.port = request.port;
    m_reg.txt = request.txt;
}

WideAreaRegistration::~WideAreaRegistration()
{
    m_exchange->abort();
    if (!m_sentUpdate || m_server.isNull())
        return;
    QString why;
    const Outgoing out = buildUpdate(m_reg, UpdateKind::Remove, m_key, &why);
    if (out.wire.isEmpty())
        return;
    const QByteArray reply =
        DnsExchange::exchangeNow(out.wire, m_server, m_serverPort, WithdrawWaitMs);
    Answer answer;
    if (reply.isEmpty() || !parseAnswer(reply, out, m_key, &answer, &why))
        qCDebug(lcZeroConf).noquote() << QStringLiteral("wide-area: no answer to the removal of %1")
                                             .arg(show(m_reg.instance));
    else
        qCDebug(lcZeroConf).noquote() << QStringLiteral("wide-area: removed %1: %2")
                                             .arg(show(m_reg.instance), rcodeName(answer.rcode));
}

QList<QHostAddress> WideAreaRegistration::routableAddresses()
{
    QList<QHostAddress> result;
    for (const LocalAddress &a : announceableAddresses()) {
        if (a.address.isLinkLocal() || a.address.isLoopback() || result.contains(a.address))
            continue;
        result.append(a.address);
    }
    return result;
}

bool WideAreaRegistration::loadKey()
{
    QString keyFile = m_settings.keyFile;
    if (keyFile.isEmpty())
        keyFile = QString::fromLocal8Bit(qgetenv("QZEROCONF_TSIG_KEYFILE"));
    if (keyFile.isEmpty())
        return true; // unsigned, for servers that authorise by address
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly)) {
        giveUp(QStringLiteral("cannot read the TSIG key file %1: %2")
                   .arg(keyFile, file.errorString()));
        return false;
    }
    const QString why = parseTsigKey(file.readAll(), &m_key);
    if (!why.isEmpty()) {
        giveUp(QStringLiteral("the TSIG key file %1 is not usable: %2").arg(keyFile, why));
        return false;
    }
    if (QFileInfo(file).permissions() & QFileDevice::ReadOther)
        qCWarning(lcZeroConf).noquote()
            << QStringLiteral("the TSIG key file %1 is readable by other users").arg(keyFile);
    return true;
}

void WideAreaRegistration::start()
{
    const ResolverConfig resolver = canonicalResolverConfig(systemResolverConfig());
    // The C library's default when no name server is configured.
    m_resolver = resolver.servers.value(0, QHostAddress(QHostAddress::LocalHost));
    if (!m_settings.domain.isEmpty()) {
        findZone(canonicalName(m_settings.domain));
        return;
    }
    for (const QByteArray &d : resolver.search)
        m_candidates << "dr._dns-sd._udp." + d << "r._dns-sd._udp." + d;
    if (m_candidates.isEmpty()) {
        qCDebug(lcZeroConf) << "wide-area: no search domain, so no registration domain";
        return;
    }
    discover(0);
}

void WideAreaRegistration::ask(const QByteArray &name, int type, const QHostAddress &server,
                               quint16 port, Then then)
{
    QString why;
    const Outgoing out = buildQuery(name, type, &why);
    if (out.wire.isEmpty()) {
        giveUp(QStringLiteral("wide-area registration: %1").arg(why));
        return;
    }
    exchange(out, server, port, std::move(then));
}

void WideAreaRegistration::exchange(const Outgoing &out, const QHostAddress &server, quint16 port,
                                    Then then)
{
    m_pending = out;
    m_then = std::move(then);
    m_exchange->send(out.wire, server, port);
}

void WideAreaRegistration::later(std::function<void()> step)
{
    // Back-off: 1 s, doubling up to a minute; any answer starts it over.
    m_backoffMs = m_backoffMs ? qMin(m_backoffMs * 2, MaxBackoffMs) : 1000;
    m_retryStep = std::move(step);
    m_retry.start(m_backoffMs);
}

void WideAreaRegistration::discover(int index)
{
    if (index >= m_candidates.size()) {
        qCDebug(lcZeroConf) << "wide-area: no registration domain is advertised";
        return;
    }
    const QByteArray name = m_candidates[index];
    ask(name, LDNS_RR_TYPE_PTR, m_resolver, 53, [this, index, name](const Answer *a) {
        // Whether a domain exists is not known until the resolver answers: try again,
        // quietly, since most sites have none.
        if (unanswered(a))
            return later([this] { discover(0); });
        for (const Record &r : a->answer) {
            if (r.type == LDNS_RR_TYPE_PTR && sameName(r.owner, name) && !r.rdata.isEmpty())
                return findZone(canonicalName(r.rdata[0]));
        }
        discover(index + 1);
    });
}

void WideAreaRegistration::findZone(const QByteArray &domain)
{
    ask(domain, LDNS_RR_TYPE_SOA, m_resolver, 53, [this, domain](const Answer *a) {
        if (unanswered(a))
            return later([this, domain] { findZone(domain); });
        // The SOA answers for the zone's apex, and stands in the authority section below it.
        const QList<Record> soa = a->records(LDNS_RR_TYPE_SOA);
        if (soa.isEmpty() || soa[0].rdata.isEmpty())
            return giveUp(
                QStringLiteral("wide-area registration: no zone holds %1").arg(show(domain)));
        m_reg.zone = soa[0].owner;
        m_primary = canonicalName(soa[0].rdata[0]);
        QByteArray host = m_request.hostLabel;
        if (host.isEmpty())
            host = systemHostLabel();
        m_reg.typeName = canonicalName(m_request.type + '.' + m_reg.zone);
        m_reg.instance = canonicalName(escapeLabel(m_request.name) + '.' + m_reg.typeName);
        m_reg.target = canonicalName(escapeLabel(host) + '.' + m_reg.zone);
        findServer();
    });
}

void WideAreaRegistration::findServer()
{
    const QByteArray name = "_dns-update._udp." + m_reg.zone;
    ask(name, LDNS_RR_TYPE_SRV, m_resolver, 53, [this](const Answer *a) {
        if (unanswered(a))
            return later([this] { findServer(); });
        for (const Record &r : a->answer) {
            if (r.type == LDNS_RR_TYPE_SRV && r.rdata.size() == 4)
                return resolveServer(canonicalName(r.rdata[3]), quint16(r.rdata[2].toUInt()));
        }
        resolveServer(m_primary, 53);
    });
}

void WideAreaRegistration::resolveServer(const QByteArray &host, quint16 port)
{
    m_serverName = host;
    m_serverPort = port;
    ask(host, LDNS_RR_TYPE_A, m_resolver, 53, [this, host](const Answer *a) {
        if (unanswered(a))
            return later([this, host] { resolveServer(host, m_serverPort); });
        for (const Record &r : a->records(LDNS_RR_TYPE_A)) {
            if (sameName(r.owner, host) && !r.rdata.isEmpty()) {
                m_server.setAddress(QString::fromLatin1(r.rdata[0]));
                break;
            }
        }
        if (m_server.isNull()) {
            // No address record: a small site's resolver is its primary too.
            qCDebug(lcZeroConf).noquote()
                << QStringLiteral("wide-area: %1 has no address; updating through the resolver")
                       .arg(show(host));
            m_server = m_resolver;
        }
        // Only now: where no registration domain exists, the key is none of our business.
        if (loadKey())
            update(UpdateKind::Claim);
    });
}

void WideAreaRegistration::update(UpdateKind kind)
{
    if (m_stopped)
        return;
    if (kind == UpdateKind::Claim || kind == UpdateKind::TakeOver)
        m_reg.addresses = routableAddresses(); // they may have changed while we waited
    QString why;
    const Outgoing out = buildUpdate(m_reg, kind, m_key, &why);
    if (out.wire.isEmpty())
        return giveUp(
            QStringLiteral("wide-area registration of %1: %2").arg(show(m_reg.instance), why));
    m_sentUpdate = true;
    exchange(out, m_server, m_serverPort, [this, kind](const Answer *a) { updated(kind, a); });
}

void WideAreaRegistration::updated(UpdateKind kind, const Answer *a)
{
    const QString server = QStringLiteral("%1 (%2)").arg(show(m_serverName), m_server.toString());
    if (!a) {
        if (!m_warnedUnreachable)
            qCWarning(lcZeroConf).noquote()
                << QStringLiteral(
                       "the DNS update server %1 does not answer; registering %2 there later")
                       .arg(server, show(m_reg.instance));
        m_warnedUnreachable = true;
        return later([this, kind] { update(kind); });
    }
    m_warnedUnreachable = false;
    const bool refusal = a->rcode == Refused || a->rcode == NotAuth || a->rcode == NotZone ||
                         a->rcode >= BadSig || a->rcode == ServFail || a->rcode == FormErr ||
                         a->rcode == NotImp;
    if (refusal)
        return giveUp(QStringLiteral("the DNS update server %1 refused %2: %3")
                          .arg(server, show(m_reg.instance), rcodeName(a->rcode)));
    if (!m_key.isNull() && !a->verified)
        return giveUp(
            QStringLiteral("the answer of the DNS update server %1 is not signed with key %2")
                .arg(server, show(m_key.name)));

    if (a->rcode == YxDomain && kind == UpdateKind::Claim)
        return checkOwner();
    if (a->rcode == NxRrset && kind == UpdateKind::TakeOver)
        return update(UpdateKind::Claim); // our records went away meanwhile
    if (a->rcode != NoError)
        return giveUp(QStringLiteral("the DNS update server %1 answered %2 for %3")
                          .arg(server, rcodeName(a->rcode), show(m_reg.instance)));

    if (kind != UpdateKind::Addresses) {
        // Refresh before the lease runs out, also where the server ignores leases.
        const quint32 lease = a->lease ? qMin(a->lease, m_reg.lease) : m_reg.lease;
        m_refresh.start(int(qMax<quint32>(lease, 10) * 800));
    }
    if (!m_registered) {
        m_registered = true;
        qCDebug(lcZeroConf).noquote()
            << QStringLiteral("wide-area: registered %1 at %2").arg(show(m_reg.instance), server);
        m_watch = new AddressWatch(this);
        connect(m_watch, &AddressWatch::changed, this, &WideAreaRegistration::addressesChanged);
        emit registered();
    }
    if (m_addressesDirty) {
        m_addressesDirty = false;
        addressesChanged();
    }
}

void WideAreaRegistration::checkOwner()
{
    // Ask the update server itself: a resolver's cache could hold an older answer.
    ask(m_reg.instance, LDNS_RR_TYPE_SRV, m_server, m_serverPort, [this](const Answer *a) {
        if (unanswered(a))
            return later([this] { update(UpdateKind::Claim); });
        for (const Record &r : a->answer) {
            // Same target, same port: our own records from before a crash. Take them over.
            if (r.type == LDNS_RR_TYPE_SRV && r.rdata.size() == 4 &&
                r.rdata[2].toUInt() == m_reg.port && sameName(r.rdata[3], m_reg.target)) {
                qCDebug(lcZeroConf).noquote()
                    << QStringLiteral("wide-area: %1 is ours from an earlier run; taking it over")
                           .arg(show(m_reg.instance));
                return update(UpdateKind::TakeOver);
            }
        }
        if (++m_renames > MaxRenames)
            return giveUp(QStringLiteral("wide-area registration: no free name for %1")
                              .arg(show(m_request.name)));
        const QByteArray name = m_request.name + " #" + QByteArray::number(m_renames + 1);
        qCWarning(lcZeroConf).noquote()
            << QStringLiteral("the name \"%1\" is taken in %2; registering as \"%3\"")
                   .arg(QString::fromUtf8(m_request.name), show(m_reg.zone),
                        QString::fromUtf8(name));
        m_reg.instance = canonicalName(escapeLabel(name) + '.' + m_reg.typeName);
        update(UpdateKind::Claim);
    });
}

void WideAreaRegistration::addressesChanged()
{
    const QList<QHostAddress> now = routableAddresses();
    if (now == m_reg.addresses || m_stopped)
        return;
    if (m_exchange->isBusy() || m_retry.isActive()) {
        m_addressesDirty = true;
        return;
    }
    m_reg.addresses = now;
    update(UpdateKind::Addresses);
}

void WideAreaRegistration::giveUp(const QString &warning)
{
    qCWarning(lcZeroConf).noquote() << warning;
    m_stopped = true;
    if (!m_registered)
        m_sentUpdate = false; // nothing of ours went in
    m_retry.stop();
    m_refresh.stop();
}

} // namespace Unicast
} // namespace QZeroConfInternal

// The wide-area library's entry, for the component that loads it.
extern "C" Q_DECL_EXPORT QZeroConfInternal::WideAreaPublication *
qzeroconf_new_wide_area(int interfaceVersion, const QZeroConfInternal::PublishRequest &request,
                        const QZeroConfInternal::WideAreaSettings &settings)
{
    if (interfaceVersion != QZeroConfInternal::WideAreaInterfaceVersion)
        return nullptr;
    auto *registration = new QZeroConfInternal::Unicast::WideAreaRegistration(request, settings);
    registration->start();
    return registration;
}
