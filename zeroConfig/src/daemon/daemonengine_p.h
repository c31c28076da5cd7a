// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_DAEMONENGINE_P_H
#define QZEROCONF_DAEMONENGINE_P_H

#include "../engine_p.h"
#include "stallwatch_p.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

class OrgFreedesktopAvahiServer2Interface;
class OrgFreedesktopAvahiEntryGroupInterface;
class OrgFreedesktopAvahiServiceBrowserInterface;
class OrgFreedesktopAvahiServiceResolverInterface;
class QDBusServiceWatcher;

namespace QZeroConfInternal {

// How long the daemon may be away (its bus name unowned) before the engine gives up.
constexpr int DaemonGraceMs = 5000;
// How long the daemon has to answer the first questions before it counts as hung.
constexpr int DaemonAnswerMs = 1000;

class DaemonGroup;
class DaemonLookup;

// The host's avahi-daemon, over its D-Bus API. Every call is asynchronous: nothing
// here waits for the daemon, so a daemon that is frozen (or slow) never blocks the
// event loop, a destructor or the end of the process.
//
// The proxies talk to the daemon's unique bus name (":1.5"), learnt asynchronously:
// given the well-known name, QDBusAbstractInterface would ask the bus for its owner
// synchronously. A new daemon has a new unique name, so everything is made again.
//
// Signals are subscribed to once, for any sender and any object path, before anything
// is created, and dispatched by path: no signal of a new object can come before the
// subscription.
class DaemonEngine : public QObject, public Engine
{
    Q_OBJECT

public:
    DaemonEngine();
    ~DaemonEngine() override;

    void start(const EngineEvents &events, StartMode mode) override;
    QString description() const override;
    bool isDaemon() const override { return true; }
    QByteArray ownHostName() const override { return m_hostName; }
    bool foreignNetwork() const override { return m_foreign; }
    bool stillThere() const override { return m_hung; }

    std::unique_ptr<EngineGroup> newGroup(GroupCallback callback) override;
    std::unique_ptr<EngineLookup> browse(int protocol, const QByteArray &type,
                                         BrowseCallback callback, QString *error) override;
    std::unique_ptr<EngineLookup> resolve(int interfaceIndex, int protocol, const QString &name,
                                          const QString &type, const QString &domain,
                                          int addressProtocol, ResolveCallback callback,
                                          QString *error) override;

    // For the groups and lookups.
    QDBusConnection bus() const { return m_bus; }
    QString owner() const { return m_owner; }
    OrgFreedesktopAvahiServer2Interface *server() const { return m_server.get(); }
    void track(const QString &path, DaemonGroup *group) { m_groups.insert(path, group); }
    void track(const QString &path, DaemonLookup *lookup) { m_lookups.insert(path, lookup); }
    void forget(const QString &path)
    {
        m_groups.remove(path);
        m_lookups.remove(path);
    }

    using Issue = std::function<QDBusPendingCall()>;
    using Done = std::function<void(const QDBusPendingCall &)>;
    // Every call to the daemon goes out through here: issue() when the window allows,
    // then done() with the answer, unless `context` (by default the engine) has gone
    // meanwhile, in which case the call is not made at all.
    void call(Issue issue, Done done = Done(), QObject *context = nullptr);

private Q_SLOTS:
    void onSignal(const QDBusMessage &message);
    void onBusLost();

private:
    enum class Phase { Idle, Starting, Running, HostChanging, Away, Failed };

    void ownerChanged(const QString &newOwner, bool fresh);
    void appear();
    void watchForStall();
    void checkStall();
    qint64 daemonCpuTicks() const;
    void handshake();
    void checkNetwork(quint64 epoch);
    void compareInterfaces(quint64 epoch);
    void refreshHostName(quint64 epoch);
    void serverState(int state, const QString &error);
    void maybeRunning();
    void goAway();
    void fail(const QString &why, bool warn);
    // A reply to a handshake question: false (and failed() said) when it is an error.
    bool answered(const QDBusPendingCall &call, quint64 epoch);
    // Whether a reply asked for under epoch still matters: the same daemon, not given up.
    bool current(quint64 epoch) const { return epoch == m_epoch && m_phase != Phase::Failed; }
    void pump();
    template <typename Proxy>
    std::unique_ptr<EngineLookup> prepare(DaemonLookup *lookup, Issue issue);
    // Whether lookups can be made now; else *error says why.
    bool serving(QString *error) const;
    void subscribe(bool on);

    EngineEvents m_events;
    StartMode m_mode = StartMode::Now;
    QString m_connectionName;
    QDBusConnection m_bus;
    QString m_owner; // the daemon's unique bus name; empty while there is none
    std::unique_ptr<OrgFreedesktopAvahiServer2Interface> m_server;
    QDBusServiceWatcher *m_watcher = nullptr;
    QTimer m_grace;
    Phase m_phase = Phase::Idle;
    quint64 m_epoch = 0; // counts daemons: replies from an earlier one are ignored
    bool m_everRan = false;
    bool m_away = false; // away() said, back() not yet
    bool m_appeared = false;
    bool m_hung = false; // failed because it holds its name but does not answer

    // What running() waits for, asked afresh of every daemon.
    QString m_version;
    QByteArray m_hostName;
    int m_daemonState = -1;
    bool m_versionKnown = false;
    bool m_hostKnown = false;
    bool m_networkKnown = false;
    bool m_foreign = false;

    // Calls waiting for the window, and how many are out.
    struct Waiting
    {
        QPointer<QObject> context;
        Issue issue;
        Done done;
    };
    QList<Waiting> m_waiting;
    int m_inFlight = 0;
    QElapsedTimer m_clock;
    StallWatch m_stall;
    QByteArray m_daemonPid; // where its process can be seen
    QTimer m_stallCheck;

    // Objects by their D-Bus path, for the signals. They remove themselves when freed.
    QHash<QString, DaemonGroup *> m_groups;
    QHash<QString, DaemonLookup *> m_lookups;
};

// One entry group. Calls made before the daemon has answered EntryGroupNew wait in
// order and go out once the path is known; D-Bus keeps the order of one connection's
// messages, so they are sent without waiting for each other's replies.
class DaemonGroup : public QObject, public EngineGroup
{
    Q_OBJECT

public:
    DaemonGroup(DaemonEngine *engine, GroupCallback callback);
    // Sends Free without waiting; nothing when the daemon is gone.
    ~DaemonGroup() override;

    void addService(int interfaceIndex, const QByteArray &name, const QByteArray &type,
                    const QByteArray &host, quint16 port, const TxtRecord &txt) override;
    void addServiceSubtype(int interfaceIndex, const QByteArray &name, const QByteArray &type,
                           const QByteArray &subtype) override;
    void updateServiceTxt(int interfaceIndex, const QByteArray &name, const QByteArray &type,
                          const TxtRecord &txt) override;
    void addAddress(int interfaceIndex, int protocol, const QByteArray &fqdn,
                    const QHostAddress &address, bool reverse) override;
    void commit() override;
    void reset() override;
    GroupState state() const override { return m_state; }

    void created(const QString &path);
    void stateChanged(int avahiState, const QString &error);
    // The daemon went away: the group is dead and must not talk to it any more.
    void kill();

private:
    using Call = std::function<QDBusPendingCall(OrgFreedesktopAvahiEntryGroupInterface &)>;
    void call(Call c);
    void send(const Call &c);
    void report(GroupState state, const QString &why);

    DaemonEngine *m_engine;
    GroupCallback m_callback;
    QString m_path;
    std::unique_ptr<OrgFreedesktopAvahiEntryGroupInterface> m_proxy;
    QList<Call> m_queue;
    GroupState m_state = GroupState::Uncommitted;
    bool m_dead = false;
    bool m_broken = false; // a call was refused; what follows is ignored until reset()
};

// A service browser or resolver: prepared, then started once its path is known, so
// that none of its signals can come before the path is.
class DaemonLookup : public QObject, public EngineLookup
{
    Q_OBJECT

public:
    DaemonLookup(DaemonEngine *engine, BrowseCallback callback);
    DaemonLookup(DaemonEngine *engine, ResolveCallback callback);
    ~DaemonLookup() override;

    void prepared(const QDBusPendingCall &reply);
    void signalled(const QDBusMessage &message);
    void kill();

private:
    void failure(const QString &why);

    DaemonEngine *m_engine;
    BrowseCallback m_browsed;
    ResolveCallback m_resolved;
    QString m_path;
    std::unique_ptr<OrgFreedesktopAvahiServiceBrowserInterface> m_browser;
    std::unique_ptr<OrgFreedesktopAvahiServiceResolverInterface> m_resolver;
    bool m_dead = false;
};

} // namespace QZeroConfInternal

#endif
