// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_PACING_P_H
#define QZEROCONF_PACING_P_H

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>

namespace QZeroConfInternal {

// RFC 6762 section 9: after fifteen conflicts within any ten seconds, a host waits five
// seconds before each further probe. The limit is the host's, not a name's: one pacer
// serves every name a responder probes, and the names renamed meanwhile go together,
// in one probe round.
class ConflictPacer
{
public:
    ConflictPacer();
    // Milliseconds on a clock of the caller's, for tests that play the time.
    void setClock(std::function<qint64()> clock) { m_now = std::move(clock); }
    void noteConflict();
    // How long until the next probe round may start; 0: now.
    int untilNextRound();
    void roundStarted();

private:
    qint64 now() const { return m_now ? m_now() : m_clock.elapsed(); }

    QElapsedTimer m_clock;
    std::function<qint64()> m_now;
    QVector<qint64> m_conflicts; // when the conflicts of the last ten seconds came
    qint64 m_lastRound = -1;
};

// Keeps a warning that repeats (a hostile host taking every name) from flooding the
// log: at most a few lines of one kind in any ten seconds; the rest are counted, and one
// line at the end of the ten seconds says how many there were, and the latest.
class WarningFolder : public QObject
{
    Q_OBJECT

public:
    enum Kind { ServiceRenamed, HostRenamed };
    WarningFolder();
    void warn(Kind kind, const QString &line);

private:
    Q_DISABLE_COPY(WarningFolder)
    void flush();

    struct Window
    {
        qint64 start = -1;
        int shown = 0;
        int folded = 0;
        QString latest;
    };
    QElapsedTimer m_clock;
    QHash<int, Window> m_windows;
    QTimer m_flush;
};

} // namespace QZeroConfInternal

#endif
