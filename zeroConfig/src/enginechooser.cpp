// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "enginechooser_p.h"

#include "logging_p.h"

namespace QZeroConfInternal {

namespace {

// How long until the next look for a system bus that is not there yet, or the next
// question to a daemon that did not answer; doubled after each daemon that does not,
// up to the most.
constexpr int WatchIntervalMs = 1000;
constexpr int MostWatchIntervalMs = 5000;

} // namespace

EngineChooser::EngineChooser(DaemonFactory daemon, EmbeddedFactory embedded)
    : m_newDaemon(std::move(daemon)), m_newEmbedded(std::move(embedded))
{
    m_watch.setSingleShot(true);
    m_watch.setInterval(WatchIntervalMs);
    connect(&m_watch, &QTimer::timeout, this, &EngineChooser::watchForDaemon);
}

EngineChooser::~EngineChooser()
{
    stop();
}

void EngineChooser::stop()
{
    m_watch.stop();
    m_candidate.reset();
    m_running = false;
    m_engine.reset();
    m_engineId = m_candidateId = 0;
    m_state = State::Idle;
}

void EngineChooser::start()
{
    if (m_state != State::Idle)
        return;
    if (!m_newDaemon) {
        m_state = State::OnEmbedded;
        m_engineId = run(m_newEmbedded(), StartMode::Now);
        return;
    }
    QString why;
    bool mayAppear = false;
    if (std::unique_ptr<Engine> daemon = m_newDaemon(&why, &mayAppear)) {
        m_state = State::Asking;
        m_engineId = run(std::move(daemon), StartMode::Now);
        return;
    }
    // Where a system bus may still come, toEmbedded() watches for it.
    toEmbedded(Move::ToEmbeddedAtStart, QStringLiteral("no mDNS daemon answers (%1)").arg(why),
               false);
}

quint64 EngineChooser::run(std::unique_ptr<Engine> engine, StartMode mode)
{
    const quint64 id = ++m_ids;
    Engine *raw = engine.get();
    if (!raw)
        return 0;
    if (mode == StartMode::Now)
        m_engine = std::move(engine);
    else
        m_candidate = std::move(engine);
    // Events come from inside the engine's own calls: react from the event loop, by
    // the engine's id, which is current, a candidate's, or nobody's any more.
    auto queue = [this, id](Event event, const QString &why = QString(), bool warn = false) {
        QMetaObject::invokeMethod(
            this, [this, id, event, why, warn] { onEvent(id, event, why, warn); },
            Qt::QueuedConnection);
    };
    auto forward = [queue](Event event) {
        return [queue, event] {
            queue(event);
        };
    };
    EngineEvents events;
    events.running = forward(Event::Running);
    events.hostChanging = forward(Event::HostChanging);
    events.away = forward(Event::Away);
    events.back = forward(Event::Back);
    events.appeared = forward(Event::Appeared);
    events.failed = [queue](const QString &why, bool warn) {
        queue(Event::Failed, why, warn);
    };
    raw->start(events, mode);
    return id;
}

void EngineChooser::onEvent(quint64 id, Event event, const QString &why, bool warn)
{
    if (id != 0 && id == m_candidateId) {
        onCandidateEvent(event, why);
        return;
    }
    if (id == 0 || id != m_engineId)
        return; // an engine that has been replaced
    switch (event) {
    case Event::Running:
        m_running = true;
        if (m_state == State::Asking || m_state == State::Moving)
            m_state = State::OnDaemon;
        emit running();
        break;
    case Event::HostChanging:
        emit hostChanging();
        break;
    case Event::Away:
        m_running = false;
        emit lost();
        break;
    case Event::Back:
        emit back();
        break;
    case Event::Failed:
        if (m_engine->isDaemon()) {
            m_besideHungDaemon = m_engine->stillThere();
            toEmbedded(m_state == State::Asking ? Move::ToEmbeddedAtStart : Move::ToEmbedded, why,
                       warn);
            break;
        }
        // The embedded responder was the last resort.
        m_running = false;
        emit lost();
        stop();
        m_state = State::Failed;
        emit failed(why);
        break;
    case Event::Appeared:
        break;
    }
}

void EngineChooser::onCandidateEvent(Event event, const QString &why)
{
    switch (event) {
    case Event::Appeared:
    case Event::Running: {
        const quint64 id = m_candidateId;
        moveToCandidate();
        if (event == Event::Running)
            onEvent(id, event, why, false);
        break;
    }
    case Event::Failed:
        qCDebug(lcZeroConf).noquote() << QStringLiteral("still on our own: %1").arg(why);
        m_candidate.reset();
        m_candidateId = 0;
        m_watch.setInterval(qMin(m_watch.interval() * 2, MostWatchIntervalMs));
        m_watch.start();
        break;
    default:
        break;
    }
}

void EngineChooser::toEmbedded(Move move, const QString &why, bool warn)
{
    m_running = false;
    emit lost();
    m_engine.reset();
    m_engineId = 0;
    emit moved(move, why, warn);
    m_state = State::OnEmbedded;
    m_engineId = run(m_newEmbedded(), StartMode::Now);
    if (!m_engine) {
        m_state = State::Failed;
        emit failed(QStringLiteral("no mDNS engine can run"));
        return;
    }
    // Watch for the daemon at once: one that starts now must find us gone before it
    // probes its host name.
    watchForDaemon();
}

void EngineChooser::watchForDaemon()
{
    if (m_state != State::OnEmbedded || m_candidate || !m_newDaemon)
        return;
    QString why;
    bool mayAppear = false;
    std::unique_ptr<Engine> daemon = m_newDaemon(&why, &mayAppear);
    if (!daemon) {
        if (mayAppear)
            m_watch.start();
        return;
    }
    m_candidateId = run(std::move(daemon), StartMode::WhenAvailable);
}

// The embedded responder goes first, with its goodbyes, so that the daemon finds every
// name free: nothing is renamed, nothing stands twice, and the daemon's own host name
// and reverse records meet no contest.
void EngineChooser::moveToCandidate()
{
    m_running = false;
    emit lost();
    m_engine.reset();
    m_engine = std::move(m_candidate);
    m_engineId = m_candidateId;
    m_candidateId = 0;
    m_watch.stop();
    m_watch.setInterval(WatchIntervalMs);
    m_besideHungDaemon = false;
    m_state = State::Moving;
    emit moved(Move::ToDaemon, QString(), false);
}

} // namespace QZeroConfInternal
