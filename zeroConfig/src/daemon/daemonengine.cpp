// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "daemonengine_p.h"

#include "avahientrygroup.h"
#include "avahiserver.h"
#include "avahiservicebrowser.h"
#include "avahiserviceresolver.h"

#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QPointer>

#include <algorithm>
#include <atomic>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcDaemonEngine, "qzeroconf.engine", QtWarningMsg)

namespace QZeroConfInternal {

namespace {

// dbus-daemon refuses a call once a connection awaits too many replies (128 by default):
// a print server's worth of groups committed at once had calls refused. At most this
// many go out at a time; the rest wait in order, so that each object's calls keep
// theirs.
constexpr int CallsInFlight = 64;

const QString AvahiService = QStringLiteral("org.freedesktop.Avahi");
const QString ServerInterface = QStringLiteral("org.freedesktop.Avahi.Server");
const QString GroupInterface = QStringLiteral("org.freedesktop.Avahi.EntryGroup");
const QString BrowserInterface = QStringLiteral("org.freedesktop.Avahi.ServiceBrowser");
const QString ResolverInterface = QStringLiteral("org.freedesktop.Avahi.ServiceResolver");
const QString CollisionError = QStringLiteral("org.freedesktop.Avahi.CollisionError");

// The daemon's numbers (avahi-common/defs.h).
enum AvahiServerState {
    ServerRegistering = 1,
    ServerRunning = 2,
    ServerCollision = 3,
    ServerFailure = 4
};
enum AvahiGroupState {
    GroupRegistering = 1,
    GroupEstablished = 2,
    GroupCollision = 3,
    GroupFailure = 4
};
constexpr uint PublishNoReverse = 16;

// The signals the engine listens to, for any sender and path; onSignal() sorts them.
const std::pair<const QString *, const char *> Subscriptions[] = {
    {&ServerInterface, "StateChanged"}, {&GroupInterface, "StateChanged"},
    {&BrowserInterface, "ItemNew"},     {&BrowserInterface, "ItemRemove"},
    {&BrowserInterface, "AllForNow"},   {&BrowserInterface, "Failure"},
    {&ResolverInterface, "Found"},      {&ResolverInterface, "Failure"},
};

QByteArray netNamespace(const QByteArray &pid)
{
    char target[64];
    const ssize_t n = ::readlink("/proc/" + pid + "/ns/net", target, sizeof target - 1);
    return n > 0 ? QByteArray(target, int(n)) : QByteArray();
}

QList<QByteArray> byteArrays(const QVariant &v)
{
    if (!v.canConvert<QDBusArgument>())
        return v.value<QList<QByteArray>>();
    QList<QByteArray> out;
    const QDBusArgument arg = v.value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        QByteArray b;
        arg >> b;
        out.append(b);
    }
    arg.endArray();
    return out;
}

// The daemon's address strings carry no scope: a link-local address needs its link.
QHostAddress hostAddress(const QString &text, int interfaceIndex)
{
    QHostAddress address(text);
    if (address.protocol() == QAbstractSocket::IPv6Protocol &&
        address.isInSubnet(QHostAddress(QStringLiteral("fe80::")), 10)) {
        const QString scope = QNetworkInterface::interfaceNameFromIndex(interfaceIndex);
        address.setScopeId(scope.isEmpty() ? QString::number(interfaceIndex) : scope);
    }
    return address;
}

// Frees an object the daemon made for us that nobody wants any more. Not waited for.
template <typename Proxy>
void freeUnwanted(DaemonEngine *engine, const QString &owner, const QString &path)
{
    engine->call([engine, owner, path] { return Proxy(owner, path, engine->bus()).Free(); });
}

} // namespace

// ---------------------------------------------------------------------------------------

DaemonEngine::DaemonEngine() : m_bus(QStringLiteral("qzeroconf-unconnected"))
{
    static std::atomic<int> connections{0};
    m_connectionName = QStringLiteral("qzeroconf-%1").arg(++connections);
    qDBusRegisterMetaType<QList<QByteArray>>();
    m_clock.start();
    m_stallCheck.setInterval(StallCheckMs);
    connect(&m_stallCheck, &QTimer::timeout, this, &DaemonEngine::checkStall);
    m_grace.setSingleShot(true);
    m_grace.setInterval(DaemonGraceMs);
    connect(&m_grace, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("the mDNS daemon has been away for %1 s").arg(DaemonGraceMs / 1000),
             true);
    });
}

DaemonEngine::~DaemonEngine()
{
    // The user frees everything first; whatever is left must not call back into us.
    for (DaemonGroup *g : qAsConst(m_groups))
        g->kill();
    for (DaemonLookup *l : qAsConst(m_lookups))
        l->kill();
    if (m_phase != Phase::Idle && m_bus.isConnected())
        subscribe(false);
    // Nothing of ours may use the connection once it is closed: what waits, what is out,
    // the proxies. Then the daemon withdraws, with goodbyes, whatever a connection that
    // is gone had made.
    m_waiting.clear();
    qDeleteAll(findChildren<QDBusPendingCallWatcher *>(QString(), Qt::FindDirectChildrenOnly));
    delete m_watcher;
    m_server.reset();
    QDBusConnection::disconnectFromBus(m_connectionName);
}

void DaemonEngine::subscribe(bool on)
{
    for (const auto &s : Subscriptions) {
        const QString member = QString::fromLatin1(s.second);
        if (on)
            m_bus.connect(QString(), QString(), *s.first, member, this,
                          SLOT(onSignal(QDBusMessage)));
        else
            m_bus.disconnect(QString(), QString(), *s.first, member, this,
                             SLOT(onSignal(QDBusMessage)));
    }
}

void DaemonEngine::start(const EngineEvents &events, StartMode mode)
{
    m_events = events;
    m_mode = mode;
    m_phase = Phase::Starting;
    // Connecting is local: the bus daemon answers, not the mDNS daemon. A connection of
    // our own, so that dropping it makes a daemon that stopped answering drop what we had
    // published, once it answers again (see checkStall()).
    m_bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_connectionName);
    if (!m_bus.isConnected()) {
        const QString why = QStringLiteral("no mDNS daemon answers (no system bus: %1)")
                                .arg(m_bus.lastError().message());
        QTimer::singleShot(0, this, [this, why] { fail(why, false); });
        return;
    }
    subscribe(true);
    // A bus that goes (its daemon restarted) says so only through this local signal: no
    // owner change follows, and the connection never comes back. Whatever the mDNS daemon
    // held for us went with the connection.
    m_bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                  QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"),
                  this, SLOT(onBusLost()));
    // Watching before asking: a change after the answer below is not missed.
    m_watcher = new QDBusServiceWatcher(AvahiService, m_bus,
                                        QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                ownerChanged(newOwner, true);
            });
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
    ask << AvahiService;
    const quint64 epoch = m_epoch;
    call([this, ask] { return m_bus.asyncCall(ask, DaemonAnswerMs); },
         [this, epoch](const QDBusPendingCall &call) {
             if (m_phase == Phase::Failed || epoch != m_epoch || !m_owner.isEmpty())
                 return; // the watcher was quicker
             const QDBusMessage reply = call.reply();
             if (reply.type() == QDBusMessage::ErrorMessage) {
                 if (m_mode == StartMode::WhenAvailable)
                     return; // the watcher tells when one takes the name
                 fail(QStringLiteral("no mDNS daemon answers (%1)").arg(reply.errorMessage()),
                      false);
                 return;
             }
             ownerChanged(reply.arguments().value(0).toString(), false);
         });
}

QString DaemonEngine::description() const
{
    if (m_version.isEmpty())
        return QStringLiteral("the host's mDNS daemon");
    return QStringLiteral("the host's mDNS daemon (%1)").arg(m_version);
}

void DaemonEngine::call(Issue issue, Done done, QObject *context)
{
    m_waiting.append(Waiting{context ? context : this, std::move(issue), std::move(done)});
    pump();
}

void DaemonEngine::pump()
{
    while (m_inFlight < CallsInFlight && !m_waiting.isEmpty()) {
        const Waiting next = m_waiting.takeFirst();
        if (!next.context)
            continue; // its object is gone: nothing to ask for it any more
        if (m_inFlight++ == 0)
            m_stall.answered(m_clock.elapsed()); // the wait starts now
        watchForStall();
        auto *w = new QDBusPendingCallWatcher(next.issue(), this);
        connect(w, &QDBusPendingCallWatcher::finished, this,
                [this, context = next.context, done = next.done](QDBusPendingCallWatcher *self) {
                    self->deleteLater();
                    --m_inFlight;
                    m_stall.answered(m_clock.elapsed());
                    if (context && done)
                        done(*self);
                    pump();
                });
    }
}

void DaemonEngine::ownerChanged(const QString &newOwner, bool fresh)
{
    if (m_phase == Phase::Failed || m_phase == Phase::Idle || newOwner == m_owner)
        return;
    if (!m_owner.isEmpty())
        goAway();
    if (newOwner.isEmpty())
        return;
    qCDebug(lcDaemonEngine) << "the mDNS daemon is" << newOwner << "on the system bus";
    m_owner = newOwner;
    handshake();
    // A daemon that has only just taken its name is about to probe its host name: tell
    // at once. One that held it already may be hung: it tells by answering.
    if (fresh && m_mode == StartMode::WhenAvailable)
        appear();
}

void DaemonEngine::appear()
{
    if (m_appeared)
        return;
    m_appeared = true;
    if (m_events.appeared)
        m_events.appeared();
}

qint64 DaemonEngine::daemonCpuTicks() const
{
    if (m_daemonPid.isEmpty())
        return -1;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(m_daemonPid)));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // After "pid (comm) ": state, then utime and stime as the 12th and 13th fields.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1;
}

void DaemonEngine::watchForStall()
{
    if (m_phase != Phase::Running || m_inFlight == 0 || m_stallCheck.isActive())
        return;
    m_stall.watching(m_clock.elapsed());
    m_stallCheck.start();
}

// A running daemon that answers nothing while calls wait for it, and does nothing
// either, has stopped answering (frozen, or stuck): fail, so that the services go
// elsewhere. What counts as that: StallWatch.
//
// The connection goes with the engine: when the daemon answers again, it withdraws
// what we had published through it, and nothing of ours stands twice.
void DaemonEngine::checkStall()
{
    if (m_inFlight == 0 || m_phase != Phase::Running) {
        m_stallCheck.stop();
        return;
    }
    const qint64 silent = m_stall.check(m_clock.elapsed(), daemonCpuTicks());
    if (silent < 0)
        return;
    m_hung = true;
    fail(QStringLiteral("the mDNS daemon has not answered for %1 s").arg(silent / 1000), true);
    // Whatever still waits would only queue up behind the stall.
    m_waiting.clear();
}

// Asks a new daemon what running() needs to know. Each answer must come within
// DaemonAnswerMs: a daemon that holds its name but answers nothing counts as hung.
void DaemonEngine::handshake()
{
    const quint64 epoch = ++m_epoch;
    m_phase = Phase::Starting;
    m_version.clear();
    m_hostName.clear();
    m_versionKnown = m_hostKnown = m_networkKnown = false;
    m_daemonPid.clear();
    m_daemonState = -1;
    m_server.reset(new OrgFreedesktopAvahiServer2Interface(m_owner, QStringLiteral("/"), m_bus));
    m_server->setTimeout(DaemonAnswerMs);
    call([this] { return m_server->GetVersionString(); },
         [this, epoch](const QDBusPendingCall &call) {
             if (!answered(call, epoch))
                 return;
             m_version = QDBusPendingReply<QString>(call).value();
             m_versionKnown = true;
             appear();
             maybeRunning();
         });
    call([this] { return m_server->GetState(); },
         [this, epoch](const QDBusPendingCall &call) {
             if (answered(call, epoch))
                 serverState(QDBusPendingReply<int>(call).value(), QString());
         });
    checkNetwork(epoch);
}

bool DaemonEngine::answered(const QDBusPendingCall &call, quint64 epoch)
{
    if (!current(epoch))
        return false;
    if (!call.isError())
        return true;
    const QDBusError error = call.error();
    if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout ||
        error.type() == QDBusError::TimedOut) {
        m_hung = true;
        fail(QStringLiteral("the mDNS daemon does not answer within %1 s")
                 .arg(DaemonAnswerMs / 1000),
             true);
    } else if (error.type() == QDBusError::ServiceUnknown ||
               error.type() == QDBusError::Disconnected) {
        // It went away meanwhile; the service watcher (or the bus's end) says so too.
        qCDebug(lcDaemonEngine) << "the mDNS daemon went away while being asked:" << error;
    } else {
        fail(QStringLiteral("the mDNS daemon failed: %1").arg(error.message()), true);
    }
    return false;
}

void DaemonEngine::refreshHostName(quint64 epoch)
{
    call([this] { return m_server->GetHostName(); },
         [this, epoch](const QDBusPendingCall &call) {
             if (!answered(call, epoch))
                 return;
             m_hostName = QDBusPendingReply<QString>(call).value().toUtf8();
             m_hostKnown = true;
             maybeRunning();
         });
}

// Is the daemon on our network? Where its process can be seen (same pid namespace, and
// the right to look), its network namespace answers that at once; otherwise it is asked
// for the names of our interfaces by our indexes.
void DaemonEngine::checkNetwork(quint64 epoch)
{
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"));
    ask << m_owner;
    call([this, ask] { return m_bus.asyncCall(ask, DaemonAnswerMs); },
         [this, epoch](const QDBusPendingCall &call) {
             if (!current(epoch))
                 return;
             const QDBusMessage reply = call.reply();
             if (reply.type() != QDBusMessage::ErrorMessage) {
                 const QByteArray pid = QByteArray::number(reply.arguments().value(0).toUInt());
                 QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(pid)));
                 const bool isDaemon =
                     comm.open(QIODevice::ReadOnly) && comm.readAll().startsWith("avahi-daemon");
                 if (isDaemon)
                     m_daemonPid = pid;
                 const QByteArray theirs = netNamespace(pid);
                 const QByteArray ours = netNamespace("self");
                 if (isDaemon && !theirs.isEmpty() && !ours.isEmpty()) {
                     m_foreign = theirs != ours;
                     m_networkKnown = true;
                     qCDebug(lcDaemonEngine)
                         << "the mDNS daemon's network namespace:" << theirs << "ours:" << ours;
                     maybeRunning();
                     return;
                 }
             }
             compareInterfaces(epoch);
         });
}

void DaemonEngine::compareInterfaces(quint64 epoch)
{
    struct Tally
    {
        int pending = 0;
        bool same = false;
    };
    auto tally = std::make_shared<Tally>();
    const auto all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &i : all) {
        const auto f = i.flags();
        if (!(f & QNetworkInterface::IsUp) || !(f & QNetworkInterface::CanMulticast) ||
            (f & QNetworkInterface::IsLoopBack))
            continue;
        ++tally->pending;
        const QString name = i.name();
        const int index = i.index();
        call([this, index] { return m_server->GetNetworkInterfaceNameByIndex(index); },
             [this, epoch, tally, name](const QDBusPendingCall &call) {
                 --tally->pending;
                 if (!current(epoch))
                     return;
                 // An index the daemon does not know is an error reply: not the same.
                 if (!call.isError())
                     tally->same |= QDBusPendingReply<QString>(call).value() == name;
                 else if (call.error().type() == QDBusError::NoReply)
                     return void(answered(call, epoch));
                 if (tally->pending == 0) {
                     qCDebug(lcDaemonEngine)
                         << "the mDNS daemon knows our interfaces:" << tally->same;
                     m_foreign = !tally->same;
                     m_networkKnown = true;
                     maybeRunning();
                 }
             });
    }
    if (tally->pending == 0) { // nothing of ours to compare: take it as ours
        m_foreign = false;
        m_networkKnown = true;
        maybeRunning();
    }
}

void DaemonEngine::serverState(int state, const QString &error)
{
    m_daemonState = state;
    switch (state) {
    case ServerRunning:
        if (!m_hostKnown)
            refreshHostName(m_epoch); // the name may be a new one after a conflict
        maybeRunning();
        break;
    case ServerRegistering:
    case ServerCollision:
        m_hostKnown = false;
        if (m_phase == Phase::Running) {
            m_phase = Phase::HostChanging;
            if (m_events.hostChanging)
                m_events.hostChanging();
        }
        break;
    case ServerFailure:
        fail(QStringLiteral("the mDNS daemon failed: %1").arg(error), true);
        break;
    default:
        break;
    }
}

void DaemonEngine::maybeRunning()
{
    if (m_phase != Phase::Starting && m_phase != Phase::HostChanging)
        return;
    if (!m_versionKnown || !m_hostKnown || !m_networkKnown || m_daemonState != ServerRunning)
        return;
    m_phase = Phase::Running;
    m_everRan = true;
    m_grace.stop();
    watchForStall();
    // Answered: later calls (new groups under load) get the bus's usual patience.
    m_server->setTimeout(-1);
    if (m_away) {
        m_away = false;
        if (m_events.back)
            m_events.back();
    }
    if (m_events.running)
        m_events.running();
}

void DaemonEngine::goAway()
{
    qCDebug(lcDaemonEngine) << "the mDNS daemon" << m_owner << "went away";
    ++m_epoch;
    m_owner.clear();
    m_server.reset();
    m_hostKnown = m_networkKnown = false;
    // Everything the old daemon made is gone with it: the objects must not talk to it.
    const auto groups = m_groups;
    const auto lookups = m_lookups;
    m_groups.clear();
    m_lookups.clear();
    for (DaemonGroup *g : groups)
        g->kill();
    for (DaemonLookup *l : lookups)
        l->kill();
    m_phase = Phase::Away;
    if (!m_grace.isActive())
        m_grace.start();
    if (m_everRan && !m_away) {
        m_away = true;
        if (m_events.away)
            m_events.away();
    }
}

void DaemonEngine::fail(const QString &why, bool warn)
{
    if (m_phase == Phase::Failed)
        return;
    qCDebug(lcDaemonEngine).noquote() << "the mDNS daemon cannot be used:" << why;
    m_phase = Phase::Failed;
    ++m_epoch;
    m_grace.stop();
    m_stallCheck.stop();
    // Groups keep their proxies: freeing them still tells a daemon that is only slow.
    if (m_events.failed)
        m_events.failed(why, warn);
}

void DaemonEngine::onBusLost()
{
    if (m_phase == Phase::Failed || m_phase == Phase::Idle)
        return;
    // Not worth a warning before we ever ran: the embedded responder is the usual choice then.
    fail(QStringLiteral("the system bus went away"), m_everRan);
}

void DaemonEngine::onSignal(const QDBusMessage &message)
{
    if (m_owner.isEmpty() || message.service() != m_owner)
        return;
    const QString interface = message.interface();
    if (interface == ServerInterface) {
        if (message.path() == QLatin1String("/") &&
            message.member() == QLatin1String("StateChanged"))
            serverState(message.arguments().value(0).toInt(),
                        message.arguments().value(1).toString());
    } else if (interface == GroupInterface) {
        if (DaemonGroup *g = m_groups.value(message.path()))
            g->stateChanged(message.arguments().value(0).toInt(),
                            message.arguments().value(1).toString());
    } else if (DaemonLookup *l = m_lookups.value(message.path())) {
        l->signalled(message);
    }
}

bool DaemonEngine::serving(QString *error) const
{
    if (m_phase == Phase::Running || m_phase == Phase::HostChanging)
        return true;
    *error = QStringLiteral("the mDNS daemon is not running");
    return false;
}

std::unique_ptr<EngineGroup> DaemonEngine::newGroup(GroupCallback callback)
{
    return std::unique_ptr<EngineGroup>(new DaemonGroup(this, std::move(callback)));
}

// A lookup is prepared, then started once its path is known (see DaemonLookup). One the
// daemon prepares for a lookup that is gone meanwhile is freed at once.
template <typename Proxy>
std::unique_ptr<EngineLookup> DaemonEngine::prepare(DaemonLookup *lookup, Issue issue)
{
    QPointer<DaemonLookup> alive(lookup);
    const QString owner = m_owner;
    call(std::move(issue), [this, alive, owner](const QDBusPendingCall &call) {
        if (alive)
            alive->prepared(call);
        else if (!call.isError() && owner == m_owner)
            freeUnwanted<Proxy>(this, owner,
                                QDBusPendingReply<QDBusObjectPath>(call).value().path());
    });
    return std::unique_ptr<EngineLookup>(lookup);
}

std::unique_ptr<EngineLookup> DaemonEngine::browse(int protocol, const QByteArray &type,
                                                   BrowseCallback callback, QString *error)
{
    if (!serving(error))
        return nullptr;
    const QString t = QString::fromUtf8(type);
    return prepare<OrgFreedesktopAvahiServiceBrowserInterface>(
        new DaemonLookup(this, std::move(callback)), [this, protocol, t] {
            return m_server->ServiceBrowserPrepare(AnyInterface, protocol, t, QString(), 0);
        });
}

std::unique_ptr<EngineLookup> DaemonEngine::resolve(int interfaceIndex, int protocol,
                                                    const QString &name, const QString &type,
                                                    const QString &domain, int addressProtocol,
                                                    ResolveCallback callback, QString *error)
{
    if (!serving(error))
        return nullptr;
    return prepare<OrgFreedesktopAvahiServiceResolverInterface>(
        new DaemonLookup(this, std::move(callback)), [=] {
            return m_server->ServiceResolverPrepare(interfaceIndex, protocol, name, type, domain,
                                                    addressProtocol, 0);
        });
}

// ---------------------------------------------------------------------------------------

DaemonGroup::DaemonGroup(DaemonEngine *engine, GroupCallback callback)
    : m_engine(engine), m_callback(std::move(callback))
{
    if (!engine->server()) {
        m_dead = true;
        m_state = GroupState::Failure;
        QTimer::singleShot(0, this, [this] {
            if (m_callback)
                m_callback(GroupState::Failure, QStringLiteral("the mDNS daemon is not running"));
        });
        return;
    }
    // The reply is watched by the engine, which outlives the group: a group freed
    // before the answer still gets its daemon object freed.
    QPointer<DaemonGroup> alive(this);
    const QString owner = engine->owner();
    engine->call([engine] { return engine->server()->EntryGroupNew(); },
                 [engine, alive, owner](const QDBusPendingCall &call) {
                     const QDBusPendingReply<QDBusObjectPath> reply = call;
                     if (reply.isError()) {
                         if (alive && !alive->m_dead)
                             alive->report(GroupState::Failure, reply.error().message());
                     } else if (alive && !alive->m_dead) {
                         alive->created(reply.value().path());
                     } else if (!alive && owner == engine->owner()) {
                         freeUnwanted<OrgFreedesktopAvahiEntryGroupInterface>(engine, owner,
                                                                              reply.value().path());
                     }
                 });
}

DaemonGroup::~DaemonGroup()
{
    if (m_dead)
        return;
    m_engine->forget(m_path);
    // Not waited for. The daemon withdraws the records with goodbyes when it gets it.
    if (m_proxy) {
        std::shared_ptr<OrgFreedesktopAvahiEntryGroupInterface> proxy(m_proxy.release());
        m_engine->call([proxy] { return proxy->Free(); });
    }
}

void DaemonGroup::kill()
{
    m_dead = true;
    m_proxy.reset();
    m_queue.clear();
}

void DaemonGroup::created(const QString &path)
{
    m_path = path;
    m_engine->track(path, this);
    m_proxy.reset(
        new OrgFreedesktopAvahiEntryGroupInterface(m_engine->owner(), path, m_engine->bus()));
    const QList<Call> queued = std::move(m_queue);
    m_queue.clear();
    for (const Call &c : queued)
        send(c);
}

void DaemonGroup::call(Call c)
{
    if (m_dead)
        return;
    if (m_proxy)
        send(c);
    else
        m_queue.append(std::move(c));
}

void DaemonGroup::send(const Call &c)
{
    m_engine->call([this, c] { return c(*m_proxy); },
                   [this](const QDBusPendingCall &answer) {
                       if (m_dead || m_broken || !answer.isError())
                           return;
                       const QDBusError error = answer.error();
                       // Later calls in the pipeline ran on a group that lacks the refused records:
                       // what the daemon says about it until reset() means nothing.
                       m_broken = true;
                       report(error.name() == CollisionError ? GroupState::Collision
                                                             : GroupState::Failure,
                              error.message());
                   },
                   this);
}

void DaemonGroup::report(GroupState state, const QString &why)
{
    m_state = state;
    if (m_callback)
        m_callback(state, why);
}

void DaemonGroup::addService(int interfaceIndex, const QByteArray &name, const QByteArray &type,
                             const QByteArray &host, quint16 port, const TxtRecord &record)
{
    const QString n = QString::fromUtf8(name), t = QString::fromUtf8(type),
                  h = QString::fromUtf8(host);
    const QList<QByteArray> txt = record.strings();
    call([=](OrgFreedesktopAvahiEntryGroupInterface &p) {
        return p.AddService(interfaceIndex, AnyProtocol, 0, n, t, QString(), h, port, txt);
    });
}

void DaemonGroup::addServiceSubtype(int interfaceIndex, const QByteArray &name,
                                    const QByteArray &type, const QByteArray &subtype)
{
    const QString n = QString::fromUtf8(name), t = QString::fromUtf8(type),
                  sub = QString::fromUtf8(subtype + "._sub." + type);
    call([=](OrgFreedesktopAvahiEntryGroupInterface &p) {
        return p.AddServiceSubtype(interfaceIndex, AnyProtocol, 0, n, t, QString(), sub);
    });
}

void DaemonGroup::updateServiceTxt(int interfaceIndex, const QByteArray &name,
                                   const QByteArray &type, const TxtRecord &record)
{
    const QString n = QString::fromUtf8(name), t = QString::fromUtf8(type);
    const QList<QByteArray> txt = record.strings();
    call([=](OrgFreedesktopAvahiEntryGroupInterface &p) {
        return p.UpdateServiceTxt(interfaceIndex, AnyProtocol, 0, n, t, QString(), txt);
    });
}

void DaemonGroup::addAddress(int interfaceIndex, int protocol, const QByteArray &fqdn,
                             const QHostAddress &address, bool reverse)
{
    QHostAddress plain(address);
    plain.setScopeId(QString()); // the daemon reads no "%eth0"; the interface says it
    const QString a = plain.toString(), n = QString::fromUtf8(fqdn);
    const uint flags = reverse ? 0 : PublishNoReverse;
    call([=](OrgFreedesktopAvahiEntryGroupInterface &p) {
        return p.AddAddress(interfaceIndex, protocol, flags, n, a);
    });
}

void DaemonGroup::commit()
{
    if (m_dead)
        return;
    m_state = GroupState::Registering;
    call([](OrgFreedesktopAvahiEntryGroupInterface &p) { return p.Commit(); });
}

void DaemonGroup::reset()
{
    if (m_dead)
        return;
    m_state = GroupState::Uncommitted;
    m_broken = false;
    call([](OrgFreedesktopAvahiEntryGroupInterface &p) { return p.Reset(); });
}

void DaemonGroup::stateChanged(int avahiState, const QString &error)
{
    if (m_dead || m_broken)
        return;
    switch (avahiState) {
    case GroupRegistering:
        report(GroupState::Registering, QString());
        break;
    case GroupEstablished:
        report(GroupState::Established, QString());
        break;
    case GroupCollision:
        report(GroupState::Collision, QString());
        break;
    case GroupFailure:
        report(GroupState::Failure, error);
        break;
    default:
        // Uncommitted: only ever the echo of our own reset(), which may come after a
        // commit() made since; it would report a state the group has left already.
        break;
    }
}

// ---------------------------------------------------------------------------------------

DaemonLookup::DaemonLookup(DaemonEngine *engine, BrowseCallback callback)
    : m_engine(engine), m_browsed(std::move(callback))
{}

DaemonLookup::DaemonLookup(DaemonEngine *engine, ResolveCallback callback)
    : m_engine(engine), m_resolved(std::move(callback))
{}

DaemonLookup::~DaemonLookup()
{
    if (m_dead)
        return;
    m_engine->forget(m_path);
    std::shared_ptr<QDBusAbstractInterface> proxy(
        m_browser ? static_cast<QDBusAbstractInterface *>(m_browser.release())
                  : m_resolver.release());
    if (proxy)
        m_engine->call([proxy] { return proxy->asyncCall(QStringLiteral("Free")); });
}

void DaemonLookup::kill()
{
    m_dead = true;
    m_browser.reset();
    m_resolver.reset();
}

void DaemonLookup::prepared(const QDBusPendingCall &call)
{
    if (m_dead)
        return;
    if (call.isError()) {
        failure(call.error().message());
        return;
    }
    m_path = QDBusPendingReply<QDBusObjectPath>(call).value().path();
    m_engine->track(m_path, this);
    const QString owner = m_engine->owner();
    if (m_browsed)
        m_browser.reset(
            new OrgFreedesktopAvahiServiceBrowserInterface(owner, m_path, m_engine->bus()));
    else
        m_resolver.reset(
            new OrgFreedesktopAvahiServiceResolverInterface(owner, m_path, m_engine->bus()));
    m_engine->call([this] { return m_browser ? m_browser->Start() : m_resolver->Start(); },
                   [this](const QDBusPendingCall &answer) {
                       if (!m_dead && answer.isError())
                           failure(answer.error().message());
                   },
                   this);
}

void DaemonLookup::failure(const QString &why)
{
    if (m_browsed)
        m_browsed(BrowseEvent::Failure, AnyInterface, AnyProtocol, why, QString(), QString());
    else if (m_resolved)
        m_resolved(false, ResolvedService());
}

void DaemonLookup::signalled(const QDBusMessage &message)
{
    if (m_dead)
        return;
    const QList<QVariant> a = message.arguments();
    const QString member = message.member();
    if (m_browsed) {
        if (member == QLatin1String("ItemNew") || member == QLatin1String("ItemRemove")) {
            m_browsed(member == QLatin1String("ItemNew") ? BrowseEvent::New : BrowseEvent::Remove,
                      a.value(0).toInt(), a.value(1).toInt(), a.value(2).toString(),
                      a.value(3).toString(), a.value(4).toString());
        } else if (member == QLatin1String("AllForNow")) {
            m_browsed(BrowseEvent::AllForNow, AnyInterface, AnyProtocol, QString(), QString(),
                      QString());
        } else if (member == QLatin1String("Failure")) {
            failure(a.value(0).toString());
        }
        return;
    }
    if (member == QLatin1String("Failure")) {
        failure(a.value(0).toString());
    } else if (member == QLatin1String("Found") && a.size() >= 10) {
        ResolvedService r;
        const int interfaceIndex = a.value(0).toInt();
        r.interfaceIndex = quint32(interfaceIndex);
        r.name = a.value(2).toString();
        r.type = a.value(3).toString();
        r.domain = a.value(4).toString();
        r.host = a.value(5).toString();
        r.ip = hostAddress(a.value(7).toString(), interfaceIndex);
        r.port = quint16(a.value(8).toUInt());
        // The daemon sends the strings last first (AddService takes them in wire order).
        QList<QByteArray> txt = byteArrays(a.value(9));
        std::reverse(txt.begin(), txt.end());
        r.setTxt(txt);
        m_resolved(true, r);
    }
}

} // namespace QZeroConfInternal

// The library's one exported symbol.
extern "C" Q_DECL_EXPORT QZeroConfInternal::Engine *
qzeroconf_new_daemon_engine(int interfaceVersion)
{
    if (interfaceVersion != QZeroConfInternal::EngineInterfaceVersion)
        return nullptr;
    return new QZeroConfInternal::DaemonEngine;
}
