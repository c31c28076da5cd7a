// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_PUBLICATION_P_H
#define QZEROCONF_PUBLICATION_P_H

#include "addresswatch_p.h"
#include "engine_p.h"
#include "publishrequest_p.h"

#include <QMap>
#include <QPair>

#include <functional>
#include <memory>

namespace QZeroConfInternal {

class Responder;

// What a name goes through on its way onto the network, for a service and for a host
// name alike:
//
//   Waiting ──commit──> Probing ──established──> Established
//      ^                   │  │                        │
//      │                   │  └──────conflict──────────┤
//      │                   │                           v
//      │                   │                        Renaming (the next free name, for the
//      │                   │                           │      responder's next probe round)
//      ├──────round opens──┼───────────────────────────┘
//      └─start over────────┘ (engine lost, host renamed, an interface gone while probing)
//
//   any ──the engine refuses it──> Failed (services only; final)
//   Probing ──conflict on the MaxRenames-th name in a row──> Failed (gave up)
//
// A host name's records are one group per address, each established on its own: the
// host stays Probing (committed) until it is renamed or starts over.
enum class ClaimState { Waiting, Probing, Established, Renaming, Failed };

class HostRecords;

// One service announced through the responder of its thread, in an entry group of its
// own. Deleting it withdraws the service with goodbyes; the others stand. The responder
// decides when it may commit and when a round of renamed names opens; the publication
// keeps its state, and every change of it is made in handle().
class Publication
{
public:
    enum class Event {
        Commit,      // the engine runs and the host the service points at stands
        Established, // the engine says so
        Conflict,    // the engine says the name is taken
        Refused,     // the engine refuses the service
        RoundOpens,  // the responder's next probe round may start
        StartOver,   // what the engine holds for it is gone, or has to go
        EngineFailed // no engine can run
    };

    Publication(std::shared_ptr<Responder> responder, const PublishRequest &request);
    ~Publication();

    // The request under the instance name it has after any renames.
    const PublishRequest &current() const { return m_request; }
    ClaimState state() const { return m_state; }
    HostRecords *host() const { return m_host; }
    // The responder's count of lost addresses when this was last committed.
    quint64 committedAfter() const { return m_committedAfter; }
    void setHost(HostRecords *host) { m_host = host; }

    void handle(Event event, const QString &reason = QString());
    // Turns what the engine has said about the group since the last look into events.
    void sync();
    // New TXT entries, in wire form: sent at once where the group is committed, in
    // place; otherwise they go with the next commit.
    void updateTxt(const TxtRecord &txt);

    // Names tried in a row, each taken, before the publication gives up.
    static constexpr int MaxRenames = 64;

    enum class Outcome {
        Established, // again after each rename
        Failed,
        GaveUp // every name tried was taken: the publication is over
    };
    // Told from the event loop (by the responder), never from inside the engine's
    // callbacks. A callback, not a QObject's signals: a print server holds a thousand of
    // these, and a signal connection costs more than the service's records.
    using Listener = std::function<void(Outcome, const QString &reason)>;
    void setListener(Listener listener) { m_listener = std::move(listener); }
    const Listener &listener() const { return m_listener; }

private:
    Q_DISABLE_COPY(Publication)
    void commit();
    // The interfaces to announce on, as the engine numbers them.
    QList<int> interfaces() const;

    std::shared_ptr<Responder> m_responder; // first: released last
    PublishRequest m_request;
    ClaimState m_state = ClaimState::Waiting;
    HostRecords *m_host = nullptr; // null: the engine's own host name
    std::unique_ptr<EngineGroup> m_group;
    GroupState m_seen = GroupState::Uncommitted; // the group's state at the last look
    quint64 m_committedAfter = 0;
    QString m_refusal;
    QByteArray m_firstName; // as requested, for the message when renaming gives up
    int m_renames = 0;      // since the name last stood
    Listener m_listener;
};

// One host name that services point at, with this machine's addresses under it: one
// group per address, so that an address that comes or goes leaves the others standing.
// A conflict on any of them renames the host for every service that points at it.
class HostRecords
{
public:
    HostRecords(Responder *responder, const QByteArray &label);
    ~HostRecords();

    QByteArray requested() const { return m_requested; }
    QByteArray label() const { return m_label; }
    ClaimState state() const { return m_state; }
    int users = 0;

    // Commits the groups of addresses that have none (Waiting -> Probing), with reverse
    // records where `reverse` allows (and no other host name of the process has them).
    void commit(Engine *engine, const QVector<LocalAddress> &addresses, bool reverse);
    // Conflicts -> Renaming (true: the services that point here must start over).
    bool sync();
    // The addresses changed: commit what is missing, drop what went.
    void refresh();
    void roundOpens();
    // Everything goes: the engine is lost.
    void startOver();
    // The groups committed before the `losses`th lost address and still probing go: an
    // address went away while they probed, and Avahi 0.8 may never finish those.
    void restartProbing(quint64 losses);

private:
    Q_DISABLE_COPY(HostRecords)

    Responder *m_responder;
    QByteArray m_requested; // the label the publications asked for
    QByteArray m_label;     // the label in use, after any renames
    ClaimState m_state = ClaimState::Waiting;
    QMap<QPair<int, QString>, std::shared_ptr<EngineGroup>> m_groups;
    QMap<QPair<int, QString>, quint64> m_committedAfter; // as Publication's, per group
    bool m_conflict = false;
};

} // namespace QZeroConfInternal

#endif
