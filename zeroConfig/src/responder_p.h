#ifndef QZEROCONF_RESPONDER_P_H
#define QZEROCONF_RESPONDER_P_H

#include "addresswatch_p.h"
#include "engine_p.h"
#include "publishrequest_p.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>

#include <memory>
#include <vector>

namespace QZeroConfInternal {

// Avahi 0.8 can leave a group registering for good when an interface vanishes while it
// probes. Probing takes under a second and Avahi holds a re-commit back by one more, so
// a group still registering after this long, with no conflict in between, is stuck.
constexpr int StuckRegistrationMs = 3000;

// RFC 6762 section 9: after fifteen conflicts within ten seconds, wait at least five
// seconds before each further probe.
class ConflictPacer
{
public:
    ConflictPacer();
    // Notes a conflict now; returns how long to wait before probing again.
    int delayAfterConflict();
    bool hadRecentConflict() const;

private:
    QElapsedTimer m_clock;
    QVector<qint64> m_conflicts; // when recent conflicts happened, on m_clock
};

class Responder;
struct HostRecords;

// One service announced through the responder of its thread, in an entry group of its
// own. Deleting it withdraws the service with goodbyes; the others stand.
class Publication : public QObject
{
    Q_OBJECT

public:
    ~Publication() override;

    // The request under the instance name it has after any renames.
    const PublishRequest &current() const { return m_request; }

Q_SIGNALS:
    // Established (again after each rename). Both signals come from the event loop.
    void established();
    void failed(const QString &reason);

private:
    friend class Responder;
    Publication(std::shared_ptr<Responder> responder, const PublishRequest &request);
    Q_DISABLE_COPY(Publication)

    std::shared_ptr<Responder> m_responder; // first: released last
    PublishRequest m_request;
    HostRecords *m_host = nullptr; // null: the engine's own host name
    std::unique_ptr<EngineGroup> m_group;
    ConflictPacer m_pacer;
    QTimer m_retry;    // the next probe after a conflict
    QTimer m_watchdog; // a commit that never gets established
    QString m_failure;
    bool m_pending = true;
    bool m_reported = false;
    bool m_failed = false;
};

// The mDNS responder of one thread, shared by every QZeroConf object of that thread:
// one engine (the host's daemon where one answers, the embedded responder otherwise),
// the host names that services point at, and the publications.
//
// It is made on first need and goes when its last publication and browser go. Which
// engine to use is found out without blocking: publications and browsers made before
// that wait. Should the daemon go away for good, the same publications and browsers
// move to the embedded responder.
//
// Engines call back from inside their own calls: callbacks only note what happened,
// and the work is done in update(), from the event loop.
class Responder : public QObject
{
    Q_OBJECT

public:
    ~Responder() override;

    static std::shared_ptr<Responder> forThisThread();
    // A responder of its own on the given engine, for tests that play the engine.
    static std::shared_ptr<Responder> onEngine(std::unique_ptr<Engine> engine);
    // Withdraws everything of this thread's responder at once, goodbyes sent before it
    // returns: the process is about to end by a signal.
    static void withdrawAllNow();

    // Services published in the same turn of the event loop are committed together, so
    // that they are probed and announced together.
    std::unique_ptr<Publication> publish(const PublishRequest &request);

    // The engine, while one runs; lookups are made through it.
    Engine *runningEngine() const { return m_running ? m_engine.get() : nullptr; }
    // Makes sure an engine is there or on its way; browsers call it.
    void needEngine();

Q_SIGNALS:
    void engineRunning();
    // Every lookup made through the engine must be freed now.
    void engineLost();
    // No engine can run: lookups fail.
    void engineFailed(const QString &reason);

private:
    friend class Publication;
    Responder();
    Q_DISABLE_COPY(Responder)

    void startEngine(std::unique_ptr<Engine> engine);
    void onRunning();
    void onHostChanging();
    void onAway();
    void onBack();
    void onFailed(const QString &why, bool warn);
    void dropEngineObjects();
    void terminate();

    void schedule();
    void update();
    void updateHost(HostRecords *h);
    void updatePublication(Publication *p);
    void publishService(Publication *p);
    void fail(Publication *p, const QString &reason);
    void remove(Publication *p);

    QByteArray targetLabel(const Publication *p) const;
    void attachHost(Publication *p, const QByteArray &label);
    void detachHost(Publication *p);
    void addressesChanged();
    QString whatWeDo(const QString &through) const;

    std::weak_ptr<Responder> m_self;
    std::unique_ptr<Engine> m_engine;
    quint64 m_generation = 0; // events of an engine that was replaced are dropped
    bool m_running = false;
    bool m_everRan = false;
    bool m_ownHostSettling = false;
    bool m_scheduled = false;
    bool m_warnedForeign = false;
    QList<Publication *> m_publications;
    std::vector<std::unique_ptr<HostRecords>> m_hosts;
    AddressWatch *m_watch = nullptr;
    QVector<LocalAddress> m_addresses;
};

} // namespace QZeroConfInternal

#endif
