// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "publication_p.h"

#include "hostlabel_p.h"
#include "logging_p.h"
#include "responder_p.h"

#include <atomic>

namespace QZeroConfInternal {

namespace {

// One name per address answers reverse lookups, in the whole process: responders of two
// threads that both claimed them, each for a host name of its own, would take each
// other for a conflict and rename without end. The first embedded host name to come
// holds them until it goes, or moves to the daemon, which answers them for its own name.
std::atomic<const void *> reverseHolder{nullptr};

bool holdReverse(const void *host, bool wanted)
{
    const void *none = nullptr;
    if (wanted)
        return reverseHolder.compare_exchange_strong(none, host) || reverseHolder.load() == host;
    reverseHolder.compare_exchange_strong(host, nullptr);
    return false;
}

} // namespace

Publication::Publication(std::shared_ptr<Responder> responder, const PublishRequest &request)
    : m_responder(std::move(responder)), m_request(request), m_firstName(request.name)
{}

Publication::~Publication()
{
    // Freeing the group sends its goodbyes.
    m_group.reset();
    m_responder->remove(this);
}

void Publication::handle(Event event, const QString &reason)
{
    if (m_state == ClaimState::Failed)
        return;
    switch (event) {
    case Event::Commit:
        if (m_state == ClaimState::Waiting) {
            commit();
            m_state = ClaimState::Probing;
        }
        break;
    case Event::Established:
        if (m_state == ClaimState::Probing) {
            m_state = ClaimState::Established;
            m_renames = 0;
            qCDebug(lcZeroConf) << "service established:" << m_request.name;
            m_responder->tell(this, Outcome::Established, QString());
        }
        break;
    case Event::Conflict:
        if (m_state == ClaimState::Probing || m_state == ClaimState::Established) {
            if (++m_renames >= MaxRenames) {
                m_group.reset();
                m_state = ClaimState::Failed;
                const QString why =
                    QStringLiteral("service name %1 and the %2 names tried after it are all "
                                   "taken on the network; giving up")
                        .arg(quotedUtf8(m_firstName))
                        .arg(MaxRenames - 1);
                m_responder->tell(this, Outcome::GaveUp, why);
                break;
            }
            const QByteArray next = nextServiceName(m_request.name);
            m_responder->warnings().warn(
                WarningFolder::ServiceRenamed,
                QStringLiteral("service name %1 is taken on the network; announcing as %2")
                    .arg(quotedUtf8(m_request.name), quotedUtf8(next)));
            m_request.name = next;
            // The same group again later: the engine holds its next commit back itself.
            m_group->reset();
            m_state = ClaimState::Renaming;
            m_responder->conflicted();
        }
        break;
    case Event::RoundOpens:
        if (m_state == ClaimState::Renaming)
            m_state = ClaimState::Waiting;
        break;
    case Event::StartOver:
        m_group.reset();
        if (m_state != ClaimState::Renaming)
            m_state = ClaimState::Waiting;
        break;
    case Event::Refused:
    case Event::EngineFailed:
        m_group.reset();
        m_state = ClaimState::Failed;
        m_responder->tell(this, Outcome::Failed, reason);
        break;
    }
}

void Publication::sync()
{
    if (!m_group)
        return;
    const GroupState now = m_group->state();
    if (now == m_seen)
        return;
    m_seen = now;
    if (now == GroupState::Established)
        handle(Event::Established);
    else if (now == GroupState::Collision)
        handle(Event::Conflict);
    else if (now == GroupState::Failure)
        handle(Event::Refused, m_refusal);
}

void Publication::commit()
{
    Engine *engine = m_responder->runningEngine();
    if (!m_group) {
        // The engine may call back from inside its own calls: note, and look later.
        m_group = engine->newGroup([this](GroupState state, const QString &why) {
            if (state == GroupState::Failure)
                m_refusal = why;
            m_responder->schedule();
        });
    } else if (m_group->state() != GroupState::Uncommitted) {
        m_group->reset();
    }
    m_seen = GroupState::Uncommitted;
    m_committedAfter = m_responder->addressLosses();
    const PublishRequest &r = m_request;
    const QByteArray host = m_host ? m_host->label() + ".local" : QByteArray();
    // Every type in one group: a conflict on any of them renames them all together.
    for (const ServiceType &t : r.allTypes()) {
        for (int i : interfaces()) {
            m_group->addService(i, r.name, t.type, host, t.port, r.txt);
            for (const QByteArray &sub : t.subtypes)
                m_group->addServiceSubtype(i, r.name, t.type, sub);
        }
    }
    m_group->commit();
}

QList<int> Publication::interfaces() const
{
    return m_request.interfaces.isEmpty() ? QList<int>{AnyInterface} : m_request.interfaces;
}

void Publication::updateTxt(const TxtRecord &txt)
{
    m_request.txt = txt;
    if (!m_group || (m_state != ClaimState::Probing && m_state != ClaimState::Established))
        return;
    for (const ServiceType &t : m_request.allTypes()) {
        for (int i : interfaces())
            m_group->updateServiceTxt(i, m_request.name, t.type, txt);
    }
}

HostRecords::HostRecords(Responder *responder, const QByteArray &label)
    : m_responder(responder), m_requested(label), m_label(label)
{}

HostRecords::~HostRecords()
{
    m_groups.clear(); // with goodbyes
    holdReverse(this, false);
}

void HostRecords::commit(Engine *engine, const QVector<LocalAddress> &addresses, bool allowed)
{
    if (m_state != ClaimState::Waiting)
        return;
    const bool reverse = holdReverse(this, allowed);
    QMap<QPair<int, QString>, LocalAddress> wanted;
    for (const LocalAddress &a : addresses)
        wanted.insert(qMakePair(a.interfaceIndex, a.address.toString()), a);
    for (auto it = m_groups.begin(); it != m_groups.end();) {
        if (wanted.contains(it.key()))
            ++it;
        else
            it = m_groups.erase(it);
    }
    const QByteArray fqdn = m_label + ".local";
    for (auto it = wanted.cbegin(); it != wanted.cend(); ++it) {
        if (m_groups.contains(it.key()))
            continue;
        const LocalAddress &a = it.value();
        std::shared_ptr<EngineGroup> g(
            engine->newGroup([this, a](GroupState state, const QString &why) {
                if (state == GroupState::Collision) {
                    m_conflict = true;
                    m_responder->schedule();
                } else if (state == GroupState::Failure) {
                    qCDebug(lcZeroConf) << "not announcing" << a.address << ":" << why;
                }
            }));
        // A records go out over IPv4 only, AAAA over both, as the daemon does its own.
        const bool v4 = a.address.protocol() == QAbstractSocket::IPv4Protocol;
        g->addAddress(a.interfaceIndex, v4 ? IPv4 : AnyProtocol, fqdn, a.address, reverse);
        g->commit();
        m_groups.insert(it.key(), g);
        m_committedAfter.insert(it.key(), m_responder->addressLosses());
    }
    m_state = ClaimState::Probing;
    qCDebug(lcZeroConf) << "announcing" << m_groups.size() << "addresses for" << fqdn;
}

bool HostRecords::sync()
{
    if (m_conflict && m_state == ClaimState::Probing) {
        m_conflict = false;
        const QByteArray next = nextHostLabel(m_label);
        m_responder->warnings().warn(
            WarningFolder::HostRenamed,
            QStringLiteral("host name %1 is taken on the network; using %2")
                .arg(quotedUtf8(m_label + ".local"), quotedUtf8(next + ".local")));
        m_label = next;
        m_groups.clear();
        m_state = ClaimState::Renaming;
        m_responder->conflicted();
        return true;
    }
    return false;
}

void HostRecords::refresh()
{
    if (m_state == ClaimState::Probing)
        m_state = ClaimState::Waiting;
}

void HostRecords::roundOpens()
{
    if (m_state == ClaimState::Renaming)
        m_state = ClaimState::Waiting;
}

void HostRecords::startOver()
{
    m_groups.clear();
    m_conflict = false;
    if (m_state != ClaimState::Renaming)
        m_state = ClaimState::Waiting;
}

void HostRecords::restartProbing(quint64 losses)
{
    for (auto it = m_groups.begin(); it != m_groups.end();) {
        if (it.value()->state() == GroupState::Registering &&
            m_committedAfter.value(it.key()) < losses)
            it = m_groups.erase(it);
        else
            ++it;
    }
    if (m_state != ClaimState::Renaming)
        m_state = ClaimState::Waiting;
}

} // namespace QZeroConfInternal
