#include "responder_p.h"

#include "embedded/embeddedengine_p.h"
#include "hostlabel_p.h"
#include "logging_p.h"
#include "moduleloader_p.h"

#include <avahi-common/alternative.h>
#include <avahi-common/malloc.h>

#include <QMap>
#include <QPair>
#include <QSysInfo>

#include <atomic>

namespace QZeroConfInternal {

namespace {

constexpr int ConflictWindowMs = 10000;
constexpr int ConflictBurst = 15;
constexpr int ConflictHoldOffMs = 5000;

QByteArray takeAvahiString(char *s)
{
    const QByteArray result(s);
    avahi_free(s);
    return result;
}

template <typename F> void later(QObject *context, F f)
{
    QMetaObject::invokeMethod(context, std::move(f), Qt::QueuedConnection);
}

// The responder of this thread, if there is one.
thread_local std::weak_ptr<Responder> threadResponder;

} // namespace

ConflictPacer::ConflictPacer()
{
    m_clock.start();
}

int ConflictPacer::delayAfterConflict()
{
    const qint64 now = m_clock.elapsed();
    m_conflicts.append(now);
    while (!m_conflicts.isEmpty() && now - m_conflicts.first() > ConflictWindowMs)
        m_conflicts.removeFirst();
    return m_conflicts.size() >= ConflictBurst ? ConflictHoldOffMs : 0;
}

bool ConflictPacer::hadRecentConflict() const
{
    return !m_conflicts.isEmpty() && m_clock.elapsed() - m_conflicts.last() < ConflictWindowMs;
}

// One name per address answers reverse lookups, in the whole process: responders of two
// threads that both claimed them, each for a host name of its own, would take each
// other for a conflict and rename without end. The first embedded host name to come
// holds them until it goes.
static std::atomic<const void *> reverseHolder{nullptr};

// One host name that services point at, with this machine's addresses under it: one
// group per address, so that an address that comes or goes leaves the others standing.
// A conflict on any of them renames the host for every service that points at it.
struct HostRecords
{
    ~HostRecords()
    {
        const void *self = this;
        reverseHolder.compare_exchange_strong(self, nullptr);
    }

    QByteArray requested; // the label the publications asked for
    QByteArray label;     // the label in use, after any renames
    bool reverse = false; // also answers reverse lookups of the addresses
    int users = 0;
    QMap<QPair<int, QString>, std::shared_ptr<EngineGroup>> groups;
    bool pending = true;
    bool conflict = false;
    ConflictPacer pacer;
    QTimer retry;
    QTimer watchdog;
};

Publication::Publication(std::shared_ptr<Responder> responder, const PublishRequest &request)
    : m_responder(std::move(responder)), m_request(request)
{
    m_retry.setSingleShot(true);
    m_watchdog.setSingleShot(true);
    m_watchdog.setInterval(StuckRegistrationMs);
}

Publication::~Publication()
{
    m_responder->remove(this);
}

Responder::Responder() = default;

Responder::~Responder()
{
    // Publications and browsers are gone (they hold the responder); what is left are
    // address records, freed before the engine, whose own free sends every goodbye.
    m_hosts.clear();
    m_engine.reset();
}

std::shared_ptr<Responder> Responder::forThisThread()
{
    std::shared_ptr<Responder> r = threadResponder.lock();
    if (!r) {
        r.reset(new Responder);
        r->m_self = r;
        threadResponder = r;
    }
    return r;
}

std::shared_ptr<Responder> Responder::onEngine(std::unique_ptr<Engine> engine)
{
    std::shared_ptr<Responder> r(new Responder);
    r->m_self = r;
    r->startEngine(std::move(engine));
    return r;
}

void Responder::withdrawAllNow()
{
    if (std::shared_ptr<Responder> r = threadResponder.lock())
        r->terminate();
}

void Responder::needEngine()
{
    if (m_engine)
        return;
    QString why;
    std::unique_ptr<Engine> daemon = loadDaemonEngine(&why);
    if (daemon) {
        startEngine(std::move(daemon));
        return;
    }
    qCDebug(lcZeroConf).noquote()
        << QStringLiteral("no mDNS daemon answers (%1); using the embedded responder").arg(why);
    startEngine(newEmbeddedEngine());
}

void Responder::startEngine(std::unique_ptr<Engine> engine)
{
    m_engine = std::move(engine);
    m_running = false;
    m_everRan = false;
    m_ownHostSettling = false;
    const quint64 generation = ++m_generation;
    // Engines call back from inside their own calls: react from the event loop, and
    // not at all to an engine that has been replaced meanwhile.
    auto queue = [this, generation](std::function<void()> f) {
        later(this, [this, generation, f] {
            if (generation == m_generation)
                f();
        });
    };
    EngineEvents events;
    events.running = [this, queue] {
        queue([this] { onRunning(); });
    };
    events.hostChanging = [this, queue] {
        queue([this] { onHostChanging(); });
    };
    events.away = [this, queue] {
        queue([this] { onAway(); });
    };
    events.back = [this, queue] {
        queue([this] { onBack(); });
    };
    events.failed = [this, queue](const QString &why, bool warn) {
        queue([this, why, warn] { onFailed(why, warn); });
    };
    m_engine->start(events);
}

std::unique_ptr<Publication> Responder::publish(const PublishRequest &request)
{
    needEngine();
    std::unique_ptr<Publication> p(new Publication(m_self.lock(), request));
    Publication *raw = p.get();
    QObject::connect(&p->m_retry, &QTimer::timeout, this, [this, raw] {
        raw->m_pending = true;
        schedule();
    });
    QObject::connect(&p->m_watchdog, &QTimer::timeout, this, [this, raw] {
        if (raw->m_pacer.hadRecentConflict()) {
            raw->m_watchdog.start();
        } else if (raw->m_group && raw->m_group->state() == GroupState::Registering) {
            // A stuck group does not recover when committed again: start afresh.
            qCDebug(lcZeroConf) << "service" << raw->m_request.name
                                << "still registering; publishing it afresh";
            raw->m_group.reset();
            raw->m_pending = true;
            schedule();
        }
    });
    m_publications.append(raw);
    schedule();
    return p;
}

void Responder::remove(Publication *p)
{
    m_publications.removeOne(p);
    // Freeing the group sends its goodbyes.
    p->m_group.reset();
    detachHost(p);
}

void Responder::schedule()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    later(this, [this] { update(); });
}

void Responder::update()
{
    m_scheduled = false;
    if (!m_running || !m_engine)
        return;
    // Hosts first, so that new ones are committed in the same turn as their services.
    for (Publication *p : qAsConst(m_publications)) {
        if (p->m_pending && !p->m_failed)
            attachHost(p, targetLabel(p));
    }
    for (const auto &h : m_hosts)
        updateHost(h.get());
    for (Publication *p : qAsConst(m_publications))
        updatePublication(p);
}

QByteArray Responder::targetLabel(const Publication *p) const
{
    if (m_engine->foreignNetwork())
        return QByteArray();
    const QByteArray own = m_engine->ownHostName();
    QByteArray label = p->m_request.hostLabel;
    if (label.isEmpty()) {
        if (!own.isEmpty())
            return QByteArray();
        label = systemHostLabel();
    }
    if (!own.isEmpty() && label.compare(own, Qt::CaseInsensitive) == 0)
        return QByteArray();
    return label;
}

void Responder::attachHost(Publication *p, const QByteArray &label)
{
    if (p->m_host && p->m_host->requested == label)
        return;
    detachHost(p);
    if (label.isEmpty())
        return;
    for (const auto &h : m_hosts) {
        if (h->requested == label) {
            p->m_host = h.get();
            ++h->users;
            return;
        }
    }
    std::unique_ptr<HostRecords> h(new HostRecords);
    h->requested = label;
    h->label = label;
    // The daemon answers reverse lookups for its own name.
    const void *none = nullptr;
    h->reverse = !m_engine->isDaemon() && reverseHolder.compare_exchange_strong(none, h.get());
    h->users = 1;
    h->retry.setSingleShot(true);
    h->watchdog.setSingleShot(true);
    h->watchdog.setInterval(StuckRegistrationMs);
    HostRecords *raw = h.get();
    QObject::connect(&h->retry, &QTimer::timeout, this, [this, raw] {
        raw->pending = true;
        for (Publication *other : qAsConst(m_publications)) {
            if (other->m_host == raw)
                other->m_pending = true;
        }
        schedule();
    });
    QObject::connect(&h->watchdog, &QTimer::timeout, this, [this, raw] {
        if (raw->pacer.hadRecentConflict()) {
            raw->watchdog.start();
            return;
        }
        for (auto it = raw->groups.begin(); it != raw->groups.end();) {
            if (it.value()->state() == GroupState::Registering) {
                qCDebug(lcZeroConf) << "address" << it.key().second << "of" << raw->label
                                    << "still registering; publishing it afresh";
                it = raw->groups.erase(it);
                raw->pending = true;
            } else {
                ++it;
            }
        }
        schedule();
    });
    if (!m_watch) {
        m_watch = new AddressWatch(this);
        connect(m_watch, &AddressWatch::changed, this, &Responder::addressesChanged);
        m_addresses = announceableAddresses();
    }
    p->m_host = raw;
    m_hosts.push_back(std::move(h));
}

void Responder::detachHost(Publication *p)
{
    HostRecords *h = p->m_host;
    p->m_host = nullptr;
    if (!h || --h->users > 0)
        return;
    for (auto it = m_hosts.begin(); it != m_hosts.end(); ++it) {
        if (it->get() == h) {
            m_hosts.erase(it); // its groups go with it, with goodbyes
            return;
        }
    }
}

void Responder::addressesChanged()
{
    const QVector<LocalAddress> now = announceableAddresses();
    if (now == m_addresses)
        return;
    qCDebug(lcZeroConf) << "addresses changed; announcing them again";
    m_addresses = now;
    for (const auto &h : m_hosts)
        h->pending = true;
    schedule();
}

void Responder::updateHost(HostRecords *h)
{
    if (h->conflict) {
        h->conflict = false;
        const QByteArray next = takeAvahiString(avahi_alternative_host_name(h->label.constData()));
        qCWarning(lcZeroConf).noquote()
            << QStringLiteral("host name %1 is taken on the network; using %2")
                   .arg(quotedUtf8(h->label + ".local"), quotedUtf8(next + ".local"));
        h->label = next;
        h->groups.clear();
        h->watchdog.stop();
        // The services follow once the back-off allows another probe.
        for (Publication *p : qAsConst(m_publications)) {
            if (p->m_host == h) {
                p->m_group.reset();
                p->m_pending = true;
            }
        }
        h->pending = false;
        h->retry.start(h->pacer.delayAfterConflict());
        return;
    }
    if (!h->pending || h->retry.isActive())
        return;
    h->pending = false;

    QMap<QPair<int, QString>, LocalAddress> wanted;
    for (const LocalAddress &a : qAsConst(m_addresses))
        wanted.insert(qMakePair(a.interfaceIndex, a.address.toString()), a);
    for (auto it = h->groups.begin(); it != h->groups.end();) {
        if (wanted.contains(it.key()))
            ++it;
        else
            it = h->groups.erase(it);
    }
    const QByteArray fqdn = h->label + ".local";
    bool committed = false;
    for (auto it = wanted.cbegin(); it != wanted.cend(); ++it) {
        if (h->groups.contains(it.key()))
            continue;
        const LocalAddress &a = it.value();
        std::shared_ptr<EngineGroup> g(
            m_engine->newGroup([this, h, a](GroupState state, const QString &why) {
                if (state == GroupState::Collision) {
                    h->conflict = true;
                    schedule();
                } else if (state == GroupState::Failure) {
                    qCDebug(lcZeroConf) << "not announcing" << a.address << ":" << why;
                }
            }));
        // A records go out over IPv4 only, AAAA over both, as the daemon does its own.
        const bool v4 = a.address.protocol() == QAbstractSocket::IPv4Protocol;
        g->addAddress(a.interfaceIndex, v4 ? IPv4 : AnyProtocol, fqdn, a.address, h->reverse);
        g->commit();
        h->groups.insert(it.key(), g);
        committed = true;
    }
    if (committed)
        h->watchdog.start();
    qCDebug(lcZeroConf) << "announcing" << h->groups.size() << "addresses for" << fqdn;
}

void Responder::updatePublication(Publication *p)
{
    if (p->m_failed || p->m_retry.isActive())
        return;
    const GroupState state = p->m_group ? p->m_group->state() : GroupState::Uncommitted;
    if (state == GroupState::Failure) {
        fail(p, p->m_failure);
        return;
    }
    if (state == GroupState::Collision) {
        const QByteArray next =
            takeAvahiString(avahi_alternative_service_name(p->m_request.name.constData()));
        qCWarning(lcZeroConf).noquote()
            << QStringLiteral("service name %1 is taken on the network; announcing as %2")
                   .arg(quotedUtf8(p->m_request.name), quotedUtf8(next));
        p->m_request.name = next;
        p->m_group->reset();
        p->m_watchdog.stop();
        p->m_pending = false;
        p->m_retry.start(p->m_pacer.delayAfterConflict());
        return;
    }
    if (state == GroupState::Established && !p->m_reported) {
        p->m_reported = true;
        p->m_watchdog.stop();
        qCDebug(lcZeroConf) << "service established:" << p->m_request.name;
        later(p, [p] { emit p->established(); });
    }
    if (p->m_pending)
        publishService(p);
}

// The service's host is attached already, by update()'s first pass.
void Responder::publishService(Publication *p)
{
    if (!p->m_host && m_ownHostSettling)
        return; // it points at the engine's own name, which is not established yet
    if (p->m_host && p->m_host->retry.isActive())
        return; // the host is being renamed; the service follows
    p->m_pending = false;
    p->m_reported = false;
    if (p->m_group)
        p->m_group->reset();
    else
        p->m_group = m_engine->newGroup([this, p](GroupState state, const QString &why) {
            if (state == GroupState::Failure)
                p->m_failure = why;
            schedule();
        });
    const PublishRequest &r = p->m_request;
    p->m_group->addService(r.name, r.type, p->m_host ? p->m_host->label + ".local" : QByteArray(),
                           r.port, r.txt);
    p->m_group->commit();
    p->m_watchdog.start();
}

void Responder::fail(Publication *p, const QString &reason)
{
    if (p->m_failed)
        return;
    p->m_failed = true;
    p->m_retry.stop();
    p->m_watchdog.stop();
    p->m_group.reset();
    later(p, [p, reason] { emit p->failed(reason); });
}

QString Responder::whatWeDo(const QString &through) const
{
    QStringList names;
    for (const Publication *p : m_publications) {
        if (!p->m_failed)
            names << quotedUtf8(p->m_request.name);
    }
    if (!names.isEmpty())
        return QStringLiteral("announcing %1 %2").arg(names.join(QStringLiteral(", ")), through);
    return QStringLiteral("browsing %1").arg(through);
}

void Responder::onRunning()
{
    if (!m_everRan)
        qCDebug(lcZeroConf).noquote() << QStringLiteral("using %1").arg(m_engine->description());
    m_everRan = true;
    m_running = true;
    m_ownHostSettling = false;
    if (m_engine->foreignNetwork() && !m_warnedForeign) {
        m_warnedForeign = true;
        qCWarning(lcZeroConf).noquote()
            << QStringLiteral("the mDNS daemon runs on another network than this process; "
                              "services point at its host name %1, without address records "
                              "of ours")
                   .arg(quotedUtf8(m_engine->ownHostName() + ".local"));
    }
    if (m_watch)
        m_addresses = announceableAddresses();
    for (Publication *p : qAsConst(m_publications))
        p->m_pending = p->m_pending || !p->m_group;
    for (const auto &h : m_hosts)
        h->pending = true;
    emit engineRunning();
    schedule();
}

void Responder::onHostChanging()
{
    // Services that point at the engine's own name go again once it stands.
    m_ownHostSettling = true;
    for (Publication *p : qAsConst(m_publications)) {
        if (!p->m_host && p->m_group) {
            p->m_group.reset();
            p->m_pending = true;
        }
    }
}

void Responder::dropEngineObjects()
{
    for (Publication *p : qAsConst(m_publications)) {
        p->m_group.reset();
        p->m_watchdog.stop();
        p->m_pending = true;
    }
    for (const auto &h : m_hosts) {
        h->groups.clear();
        h->watchdog.stop();
        h->pending = true;
    }
    emit engineLost();
}

void Responder::onAway()
{
    m_running = false;
    dropEngineObjects();
}

void Responder::onBack()
{
    qCWarning(lcZeroConf).noquote() << QStringLiteral("the mDNS daemon is back; %1")
                                           .arg(whatWeDo(QStringLiteral("through it again")));
}

void Responder::onFailed(const QString &why, bool warn)
{
    const bool ran = m_everRan;
    m_running = false;
    dropEngineObjects();
    if (m_engine->isDaemon()) {
        const QString line =
            ran ? QStringLiteral("%1; %2").arg(why, whatWeDo(QStringLiteral("on our own")))
                : QStringLiteral("%1; using the embedded responder").arg(why);
        if (warn)
            qCWarning(lcZeroConf).noquote() << line;
        else
            qCDebug(lcZeroConf).noquote() << line;
        startEngine(newEmbeddedEngine());
        return;
    }
    m_engine.reset();
    for (Publication *p : qAsConst(m_publications))
        fail(p, why);
    emit engineFailed(why);
}

void Responder::terminate()
{
    if (!m_engine)
        return;
    m_running = false;
    dropEngineObjects();
    // The embedded engine sends every queued goodbye as it is freed; the daemon
    // withdraws what a client that is gone had published.
    m_engine.reset();
}

} // namespace QZeroConfInternal
