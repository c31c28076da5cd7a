// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_STALLWATCH_P_H
#define QZEROCONF_STALLWATCH_P_H

#include <QtGlobal>

namespace QZeroConfInternal {

// How long a running daemon may leave calls unanswered, doing nothing, before it counts
// as hung; and how long when what it does cannot be seen (tripled when it can, and it
// stays busy).
constexpr int DaemonStallMs = 3000;
constexpr int DaemonUnseenStallMs = 10000;
// How often the daemon engine looks while calls wait.
constexpr int StallCheckMs = DaemonStallMs / 4;

// The daemon engine's verdict on a daemon that leaves its calls waiting: a daemon that
// is busy is no stall, even when it answers nothing for seconds (with a thousand
// services, Avahi spends that long between two turns of its loop). Where its process
// can be seen, its CPU time tells the two apart; where not, it gets longer. Neither is
// a gap of our own making: when a check comes late, our event loop was held up, and the
// answers may be waiting in it. Times are milliseconds on the engine's clock.
class StallWatch
{
public:
    // An answer came, or the first call after a quiet time went out: the wait starts now.
    void answered(qint64 now) { m_lastAnswer = now; }
    // Checks start now.
    void watching(qint64 now) { m_lastCheck = now; }
    // A check; cpu: the daemon's CPU ticks, or -1 where they cannot be seen. Returns how
    // long the daemon has been silent when it counts as hung, otherwise -1.
    qint64 check(qint64 now, qint64 cpu)
    {
        if (now - m_lastCheck > 2 * StallCheckMs)
            m_lastAnswer = now;
        m_lastCheck = now;
        if (cpu != m_lastCpu) {
            m_lastCpu = cpu;
            m_lastBusy = now;
        }
        const qint64 silent = now - m_lastAnswer;
        const bool stalled = cpu < 0 ? silent >= DaemonUnseenStallMs
                                     : (now - qMax(m_lastAnswer, m_lastBusy) >= DaemonStallMs ||
                                        silent >= DaemonUnseenStallMs * 3);
        return stalled ? silent : -1;
    }

private:
    qint64 m_lastAnswer = 0;
    qint64 m_lastCheck = 0;
    qint64 m_lastCpu = -1; // its CPU time at the last check, and when that changed
    qint64 m_lastBusy = 0;
};

} // namespace QZeroConfInternal

#endif
