// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_ENGINECHOOSER_P_H
#define QZEROCONF_ENGINECHOOSER_P_H

#include "engine_p.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

namespace QZeroConfInternal {

// Decides which engine a responder runs, and when it moves to another. The host's
// daemon wins wherever one answers: a second mDNS stack beside it is what RFC 6762
// section 15 warns against. So:
//
//   Idle ──start()──> Asking ──running──> OnDaemon
//                       │                   │ failed (gone for good, or stopped answering)
//                       │ failed            v
//                       └───────────────> OnEmbedded ──a daemon appears──> Moving
//                                           ^                                │ running
//                                           │ failed                         v
//                                           └────────────────────────── OnDaemon
//
// While OnEmbedded, a daemon is watched for: through a second daemon engine that waits
// for one to appear (or to answer again) where a system bus exists, and by looking for
// the system bus now and then where none does yet (it may come later during boot).
// When the embedded responder fails there is nothing else: Failed.
//
// Engines call back from inside their own calls: every event is queued to the event
// loop, and dropped when its engine has been replaced meanwhile.
class EngineChooser : public QObject
{
    Q_OBJECT

public:
    enum class State { Idle, Asking, OnDaemon, OnEmbedded, Moving, Failed };
    enum class Move {
        ToEmbeddedAtStart, // no daemon at start: the usual case without one
        ToEmbedded,        // the daemon went away for good, or stopped answering
        ToDaemon,          // a daemon appeared (or answers again) beside the embedded one
    };

    // A daemon engine, or null with the reason; *mayAppear: one may later (a system
    // bus may come).
    using DaemonFactory = std::function<std::unique_ptr<Engine>(QString *why, bool *mayAppear)>;
    using EmbeddedFactory = std::function<std::unique_ptr<Engine>()>;

    EngineChooser(DaemonFactory daemon, EmbeddedFactory embedded);
    ~EngineChooser() override;

    void start();
    State state() const { return m_state; }
    // The engine that the responder uses (running or not yet); null before start and
    // after failure.
    Engine *engine() const { return m_engine.get(); }
    bool isRunning() const { return m_running; }
    // The embedded responder stands in for a daemon that is there but does not answer:
    // the host's name and reverse records stay the daemon's.
    bool besideHungDaemon() const { return m_besideHungDaemon; }
    // Frees the engine at once: the process is about to end.
    void stop();

Q_SIGNALS:
    // The engine runs (again): groups and lookups may be made.
    void running();
    // The engine's own host name is being established again.
    void hostChanging();
    // Everything made through the engine is dead, or is about to be: free it now,
    // before this returns.
    void lost();
    // A daemon that had gone is back (running follows).
    void back();
    void moved(QZeroConfInternal::EngineChooser::Move move, const QString &why, bool warn);
    // No engine can run.
    void failed(const QString &why);

private:
    Q_DISABLE_COPY(EngineChooser)

    enum class Event { Running, HostChanging, Away, Back, Failed, Appeared };
    // Starts an engine; returns its id, which its events carry.
    quint64 run(std::unique_ptr<Engine> engine, StartMode mode);
    void onEvent(quint64 id, Event event, const QString &why, bool warn);
    void onCandidateEvent(Event event, const QString &why);
    void toEmbedded(Move move, const QString &why, bool warn);
    void watchForDaemon();
    void moveToCandidate();

    DaemonFactory m_newDaemon;
    EmbeddedFactory m_newEmbedded;
    State m_state = State::Idle;
    std::unique_ptr<Engine> m_engine;
    std::unique_ptr<Engine> m_candidate; // a daemon engine waiting for its daemon
    quint64 m_engineId = 0;
    quint64 m_candidateId = 0;
    quint64 m_ids = 0;
    bool m_running = false;
    bool m_besideHungDaemon = false;
    QTimer m_watch; // the next look for a system bus, or the next candidate
};

} // namespace QZeroConfInternal

#endif
