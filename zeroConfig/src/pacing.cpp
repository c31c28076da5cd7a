// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "pacing_p.h"

#include "logging_p.h"

namespace QZeroConfInternal {

namespace {

constexpr int ConflictWindowMs = 10000;
constexpr int ConflictBurst = 15;
constexpr int RoundIntervalMs = 5000;

constexpr int WarningWindowMs = 10000;
constexpr int WarningBurst = 5;

} // namespace

ConflictPacer::ConflictPacer()
{
    m_clock.start();
}

void ConflictPacer::noteConflict()
{
    m_conflicts.append(now());
}

int ConflictPacer::untilNextRound()
{
    const qint64 now = this->now();
    int stale = 0;
    while (stale < m_conflicts.size() && now - m_conflicts.at(stale) > ConflictWindowMs)
        ++stale;
    m_conflicts.remove(0, stale);
    if (m_conflicts.size() < ConflictBurst)
        return 0;
    const qint64 base = m_lastRound >= 0 ? m_lastRound : now;
    return int(qMax<qint64>(0, base + RoundIntervalMs - now));
}

void ConflictPacer::roundStarted()
{
    m_lastRound = now();
}

WarningFolder::WarningFolder()
{
    m_clock.start();
    m_flush.setSingleShot(true);
    connect(&m_flush, &QTimer::timeout, this, &WarningFolder::flush);
}

void WarningFolder::warn(Kind kind, const QString &line)
{
    Window &w = m_windows[kind];
    if (w.start < 0 || m_clock.elapsed() - w.start >= WarningWindowMs) {
        flush();
        w = Window();
        w.start = m_clock.elapsed();
    }
    if (w.shown < WarningBurst) {
        ++w.shown;
        qCWarning(lcZeroConf).noquote() << line;
        return;
    }
    ++w.folded;
    w.latest = line;
    if (!m_flush.isActive())
        m_flush.start(int(qMax<qint64>(0, w.start + WarningWindowMs - m_clock.elapsed())));
}

// Says what was folded in windows that have ended.
void WarningFolder::flush()
{
    const qint64 now = m_clock.elapsed();
    qint64 next = -1;
    for (Window &w : m_windows) {
        if (w.folded == 0)
            continue;
        if (now - w.start < WarningWindowMs) {
            next = next < 0 ? w.start + WarningWindowMs : qMin(next, w.start + WarningWindowMs);
            continue;
        }
        qCWarning(lcZeroConf).noquote()
            << QStringLiteral("%1 more like this in the last %2 s; the latest: %3")
                   .arg(w.folded)
                   .arg(WarningWindowMs / 1000)
                   .arg(w.latest);
        w.folded = 0;
    }
    if (next >= 0)
        m_flush.start(int(qMax<qint64>(0, next - now)));
}

} // namespace QZeroConfInternal
