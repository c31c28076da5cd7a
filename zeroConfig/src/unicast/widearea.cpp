// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "widearea_p.h"

#include "../addresswatch_p.h"
#include "../hostlabel_p.h"
#include "../logging_p.h"
#include "dnsexchange_p.h"

#include <QCoreApplication>
#include <QThread>

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

// One second for all removals of a process that is ending, from the first wait on.
QDeadlineTimer exitBudget()
{
    static const QDeadlineTimer by(WithdrawWaitMs);
    return by;
}

class Removals
{
public:
    // A thread that ends, the program's main thread included, finishes what is left.
    ~Removals() { finish(m_main); }

    void adopt(WideAreaRegistration *r);
    // Within the process's one second once it is ending, else within a second of now.
    void finish(bool processEnding);

private:
    void done(WideAreaRegistration *r);

    QList<WideAreaRegistration *> m_pending;
    QList<WideAreaRegistration *> m_done; // while finishing: deleted once that is over
    bool m_finishing = false;
    bool m_hooked = false;
    bool m_main = false; // the application object's thread
};

thread_local Removals removals;

void Removals::adopt(WideAreaRegistration *r)
{
    m_pending.append(r);
    QObject::connect(r, &WideAreaRegistration::removalDone, r, [this, r] { done(r); });
    if (m_hooked)
        return;
    m_hooked = true;
    QThread *thread = QThread::currentThread();
    const QCoreApplication *app = QCoreApplication::instance();
    m_main = app && app->thread() == thread;
    if (m_main) {
        // While the application object still has its event dispatcher.
        qAddPostRoutine([] {
            removals.finish(true);
            removals.m_hooked = false;
        });
    } else {
        // Emitted in the ending thread itself, whose event loop carries nothing on now.
        QObject::connect(thread, &QThread::finished, [] { removals.finish(false); });
    }
}

void Removals::done(WideAreaRegistration *r)
{
    m_pending.removeOne(r);
    // Inside its own exchange's signal: deleted once that has returned.
    if (m_finishing)
        m_done.append(r);
    else
        r->deleteLater();
}

void Removals::finish(bool processEnding)
{
    if (m_finishing || m_pending.isEmpty())
        return;
    m_finishing = true;
    const QDeadlineTimer by = processEnding ? exitBudget() : QDeadlineTimer(WithdrawWaitMs);
    // One after the other, but all within `by`: every removal went out when it was
    // started, so the answers wait in the sockets already.
    for (WideAreaRegistration *r : QList<WideAreaRegistration *>(m_pending))
        r->finishBy(by);
    m_finishing = false;
    // What is left gets no more time; the event loop may not run again to delete anything.
    qDeleteAll(m_pending);
    m_pending.clear();
    qDeleteAll(m_done);
    m_done.clear();
}

// What the component holds: letting go of it starts the removal, which goes on without it.
class Handle : public WideAreaPublication
{
public:
    explicit Handle(WideAreaRegistration *r) : m_registration(r) {}
    ~Handle() override { m_registration->withdraw(); }

private:
    Q_DISABLE_COPY(Handle)
    WideAreaRegistration *const m_registration;
};

} // namespace

void finishRemovalsNow()
{
    removals.finish(true);
}

WideAreaRegistration::WideAreaRegistration(const PublishRequest &request,
                                           const WideAreaSettings &settings)
    : m_request(request), m_settings(settings), m_exchange(new DnsExchange(this))
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
            m_failure = QStringLiteral("sent a malformed answer");
            then(nullptr);
            return;
        }
        if (answer.rcode != ServFail) // a server that cannot answer yet is still backed off
            m_backoffMs = 0;
        then(&answer);
    });
    connect(m_exchange, &DnsExchange::failed, this, [this](const QString &why) {
        m_failure = why;
        const Then then = std::move(m_then);
        then(nullptr);
    });
    m_reg.port = request.port;
    m_reg.txt = request.txt.strings();
}

WideAreaRegistration::~WideAreaRegistration() = default;

void WideAreaRegistration::useResolver(const QHostAddress &address, quint16 port)
{
    m_resolver = address;
    m_resolverPort = port;
}

void WideAreaRegistration::withdraw()
{
    m_stopped = true;
    m_retry.stop();
    m_refresh.stop();
    delete m_watch;
    m_watch = nullptr;
    m_exchange->abort();
    removals.adopt(this);
    QString why;
    const Outgoing out = m_sentUpdate && !m_server.isNull()
                             ? buildUpdate(m_reg, UpdateKind::Remove, m_key, &why)
                             : Outgoing();
    if (out.wire.isEmpty())
        emit removalDone(); // nothing of ours can stand there
    else
        exchange(out, m_server, m_serverPort, [this](const Answer *a) { removed(a); });
}

void WideAreaRegistration::finishBy(const QDeadlineTimer &by)
{
    m_exchange->finishBy(by);
}

void WideAreaRegistration::removed(const Answer *a)
{
    const QString name = show(m_reg.instance);
    if (!a)
        qCDebug(lcZeroConf).noquote()
            << QStringLiteral("wide-area: removing %1: the server %2").arg(name, m_failure);
    else if (!m_key.isNull() && !a->verified)
        qCDebug(lcZeroConf).noquote()
            << QStringLiteral(
                   "wide-area: the answer to the removal of %1 is not signed with key %2")
                   .arg(name, show(m_key.name));
    else
        qCDebug(lcZeroConf).noquote()
            << QStringLiteral("wide-area: removed %1: %2").arg(name, rcodeName(a->rcode));
    emit removalDone();
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
    bool othersMayRead = false;
    const QString why = readTsigKeyFile(keyFile, &m_key, &othersMayRead);
    if (!why.isEmpty()) {
        giveUp(why);
        return false;
    }
    if (othersMayRead)
        qCWarning(lcZeroConf).noquote()
            << QStringLiteral("the TSIG key file %1 is readable by other users").arg(keyFile);
    return true;
}

void WideAreaRegistration::start()
{
    const ResolverConfig resolver = canonicalResolverConfig(systemResolverConfig());
    // The C library's default when no name server is configured.
    if (m_resolver.isNull())
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
    ask(name, LDNS_RR_TYPE_PTR, m_resolver, m_resolverPort, [this, index, name](const Answer *a) {
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
    ask(domain, LDNS_RR_TYPE_SOA, m_resolver, m_resolverPort, [this, domain](const Answer *a) {
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
    ask(name, LDNS_RR_TYPE_SRV, m_resolver, m_resolverPort, [this](const Answer *a) {
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
    ask(host, LDNS_RR_TYPE_A, m_resolver, m_resolverPort, [this, host](const Answer *a) {
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
                << QStringLiteral("the DNS update server %1 %2; registering %3 there later")
                       .arg(server, m_failure, show(m_reg.instance));
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
        const QByteArray suffix = " #" + QByteArray::number(m_renames + 1);
        const QByteArray name = utf8Prefix(m_request.name, MaxLabelBytes - suffix.size()) + suffix;
        // One warning line; a server that takes every name gets the rest at debug level.
        const QString line =
            QStringLiteral("the name \"%1\" is taken in %2; registering as \"%3\"")
                .arg(QString::fromUtf8(m_request.name), show(m_reg.zone), QString::fromUtf8(name));
        if (m_renames == 1)
            qCWarning(lcZeroConf).noquote() << line;
        else
            qCDebug(lcZeroConf).noquote() << "wide-area:" << line;
        m_reg.instance = canonicalName(escapeLabel(name) + '.' + m_reg.typeName);

        // Paced as mDNS renames are (RFC 6762 section 9).
        m_pacer.noteConflict();
        const int wait = m_pacer.untilNextRound();
        if (wait == 0) {
            m_pacer.roundStarted();
            return update(UpdateKind::Claim);
        }
        m_retryStep = [this] {
            m_pacer.roundStarted();
            update(UpdateKind::Claim);
        };
        m_retry.start(wait);
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
    return new QZeroConfInternal::Unicast::Handle(registration);
}

extern "C" Q_DECL_EXPORT void qzeroconf_finish_wide_area_removals()
{
    QZeroConfInternal::Unicast::finishRemovalsNow();
}
