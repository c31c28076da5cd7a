// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_RESPONDER_P_H
#define QZEROCONF_RESPONDER_P_H

#include "addresswatch_p.h"
#include "enginechooser_p.h"
#include "pacing_p.h"
#include "publication_p.h"

#include <QObject>
#include <QTimer>
#include <QVector>

#include <memory>
#include <vector>

namespace QZeroConfInternal {

// The mDNS responder of one thread, shared by every QZeroConf object of that thread. It
// keeps what they share: the engine (through the chooser, which decides which one runs
// and when to move), the host names that services point at, this machine's addresses,
// the pace of probing after conflicts, and the log.
//
// It is made on first need and goes when its last publication and browser go.
//
// Where each fault is met:
//  - load: nothing is redone while the engine works. A probe is started over only when
//    an interface goes away while it runs (addressesChanged()), the one event on which
//    Avahi 0.8 may never finish it;
//  - a daemon that starts after us, or stops answering: EngineChooser;
//  - a host that takes every name: one ConflictPacer per responder, and a WarningFolder;
//  - the lifecycle of each name: Publication and HostRecords (publication_p.h).
//
// Engines call back from inside their own calls: callbacks only note what happened,
// and the work is done in update(), from the event loop.
class Responder : public QObject
{
    Q_OBJECT

public:
    ~Responder() override;

    static std::shared_ptr<Responder> forThisThread();
    // A responder of its own on the given engine, for tests that play the engine: a
    // daemon engine hands over to the embedded responder as the real one would. It serves
    // the QZeroConf objects of this thread while it stands.
    static std::shared_ptr<Responder> onEngine(std::unique_ptr<Engine> engine);
    // Withdraws everything of this thread's responder at once, goodbyes sent before it
    // returns: the process is about to end by a signal.
    static void withdrawAllNow();

    // Services published in the same turn of the event loop are committed together, so
    // that they are probed and announced together.
    std::unique_ptr<Publication> publish(const PublishRequest &request);

    // The engine, while one runs; lookups are made through it.
    Engine *runningEngine() const;
    // Makes sure an engine is there or on its way; browsers call it.
    void needEngine();

    // For publications and hosts.
    void schedule();
    void remove(Publication *p);
    // Tells p's listener from the event loop: all that are due in one event, as a
    // thousand publications are established at once.
    void tell(Publication *p, Publication::Outcome outcome, const QString &reason);
    // A name was lost to a conflict: its next probe waits for the next round.
    void conflicted();
    WarningFolder &warnings() { return m_warnings; }
    ConflictPacer &pacer() { return m_pacer; }
    // How often an address of ours has gone away: what was committed before the latest
    // of those may be a probe that Avahi 0.8 never finishes.
    quint64 addressLosses() const { return m_addressLosses; }

Q_SIGNALS:
    void engineRunning();
    // Every lookup made through the engine must be freed now.
    void engineLost();
    // No engine can run: lookups fail.
    void engineFailed(const QString &reason);

private:
    explicit Responder(EngineChooser *chooser);
    Q_DISABLE_COPY(Responder)

    void onRunning();
    void onHostChanging();
    void onLost();
    void onBack();
    void onMoved(EngineChooser::Move move, const QString &why, bool warn);
    void onFailed(const QString &why);
    void terminate();

    void update();
    void tellAll();
    void openRound();
    void restartProbing();
    bool mayCommit(const Publication *p) const;
    // The label of the host p points at; empty for the engine's own. *systemLabel caches
    // this machine's.
    QByteArray targetLabel(const Publication *p, QByteArray *systemLabel) const;
    void attachHost(Publication *p, const QByteArray &label);
    void detachHost(Publication *p);
    void addressesChanged();
    QString whatWeDo(const QString &through) const;

    std::weak_ptr<Responder> m_self;
    EngineChooser *m_chooser;
    QList<Publication *> m_publications;
    std::vector<std::unique_ptr<HostRecords>> m_hosts;
    AddressWatch *m_watch = nullptr;
    QVector<LocalAddress> m_addresses;
    ConflictPacer m_pacer;
    WarningFolder m_warnings;
    QTimer m_round;       // the next probe round after conflicts
    QTimer m_probesCheck; // probes that an interface took away start over
    quint64 m_addressLosses = 0;
    bool m_ownHostSettling = false;
    bool m_scheduled = false;
    bool m_warnedForeign = false;
    struct Told
    {
        Publication *publication; // null: deleted before it was told
        Publication::Outcome outcome;
        QString reason;
    };
    QVector<Told> m_told; // not empty: an event to tell them is on its way, or running
};

} // namespace QZeroConfInternal

#endif
