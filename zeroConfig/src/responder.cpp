// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "responder_p.h"

#include "hostlabel_p.h"
#include "logging_p.h"
#include "mdns/mdnsengine_p.h"
#include "moduleloader_p.h"

namespace QZeroConfInternal {

namespace {

// How long after an interface went away the probes still running start over: Avahi
// has to have seen the interface go first, or the new probe may hang on it as well.
constexpr int ProbesCheckMs = 500;

template <typename F> void later(QObject *context, F f)
{
    QMetaObject::invokeMethod(context, std::move(f), Qt::QueuedConnection);
}

// The responder of this thread, if there is one.
thread_local std::weak_ptr<Responder> threadResponder;

} // namespace

Responder::Responder(EngineChooser *chooser) : m_chooser(chooser)
{
    m_chooser->setParent(this);
    connect(m_chooser, &EngineChooser::running, this, &Responder::onRunning);
    connect(m_chooser, &EngineChooser::hostChanging, this, &Responder::onHostChanging);
    connect(m_chooser, &EngineChooser::lost, this, &Responder::onLost);
    connect(m_chooser, &EngineChooser::back, this, &Responder::onBack);
    connect(m_chooser, &EngineChooser::moved, this, &Responder::onMoved);
    connect(m_chooser, &EngineChooser::failed, this, &Responder::onFailed);
    m_round.setSingleShot(true);
    connect(&m_round, &QTimer::timeout, this, &Responder::openRound);
    m_probesCheck.setSingleShot(true);
    m_probesCheck.setInterval(ProbesCheckMs);
    connect(&m_probesCheck, &QTimer::timeout, this, &Responder::restartProbing);
}

Responder::~Responder()
{
    // Publications and browsers are gone (they hold the responder); what is left are
    // address records, freed before the engine, whose own free sends every goodbye.
    m_hosts.clear();
    delete m_chooser;
}

std::shared_ptr<Responder> Responder::forThisThread()
{
    std::shared_ptr<Responder> r = threadResponder.lock();
    if (!r) {
        // Of the reasons not to load the daemon engine, only a missing system bus may
        // change: during boot the bus may come after us.
        r.reset(new Responder(new EngineChooser(
            [](QString *why, bool *mayAppear) { return loadDaemonEngine(why, mayAppear); },
            [] { return newMdnsEngine(); })));
        r->m_self = r;
        threadResponder = r;
    }
    return r;
}

std::shared_ptr<Responder> Responder::onEngine(std::unique_ptr<Engine> engine)
{
    auto given = std::make_shared<std::unique_ptr<Engine>>(std::move(engine));
    EngineChooser *chooser;
    if ((*given)->isDaemon())
        chooser = new EngineChooser(
            [given](QString *why, bool *mayAppear) {
                *why = QStringLiteral("the test's daemon is gone");
                *mayAppear = false;
                return std::move(*given);
            },
            [] { return newMdnsEngine(); });
    else
        chooser = new EngineChooser(nullptr, [given] { return std::move(*given); });
    std::shared_ptr<Responder> r(new Responder(chooser));
    r->m_self = r;
    threadResponder = r;
    chooser->start();
    return r;
}

void Responder::withdrawAllNow()
{
    if (std::shared_ptr<Responder> r = threadResponder.lock())
        r->terminate();
}

Engine *Responder::runningEngine() const
{
    return m_chooser->isRunning() ? m_chooser->engine() : nullptr;
}

void Responder::needEngine()
{
    if (m_chooser->state() == EngineChooser::State::Failed)
        m_chooser->stop(); // try again: something new asks for it
    m_chooser->start();
}

std::unique_ptr<Publication> Responder::publish(const PublishRequest &request)
{
    needEngine();
    std::unique_ptr<Publication> p(new Publication(m_self.lock(), request));
    m_publications.append(p.get());
    schedule();
    return p;
}

void Responder::remove(Publication *p)
{
    m_publications.removeOne(p);
    detachHost(p);
    for (Told &t : m_told) {
        if (t.publication == p)
            t.publication = nullptr;
    }
}

void Responder::tell(Publication *p, Publication::Outcome outcome, const QString &reason)
{
    if (m_told.isEmpty())
        later(this, [this] { tellAll(); });
    m_told.append(Told{p, outcome, reason});
}

void Responder::tellAll()
{
    // A listener may delete publications (remove() forgets what they were still to be
    // told) or cause more to be told: by index, to the end as it is then. The last
    // publication may take the responder with it: it goes when this returns.
    const std::shared_ptr<Responder> keep = m_self.lock();
    for (int i = 0; i < m_told.size(); ++i) {
        const Told t = m_told[i];
        if (!t.publication)
            continue;
        // A copy: the listener may delete the publication.
        if (const Publication::Listener listener = t.publication->listener())
            listener(t.outcome, t.reason);
    }
    m_told.clear();
}

void Responder::schedule()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    later(this, [this] { update(); });
}

void Responder::update()
{
    m_scheduled = false;
    Engine *engine = runningEngine();
    if (!engine)
        return;
    // Hosts first, so that new ones are committed in the same turn as their services.
    QByteArray systemLabel; // asked of the system once a turn at most
    for (Publication *p : qAsConst(m_publications)) {
        if (p->state() == ClaimState::Waiting)
            attachHost(p, targetLabel(p, &systemLabel));
    }
    for (const auto &h : m_hosts) {
        if (h->sync()) {
            for (Publication *p : qAsConst(m_publications)) {
                if (p->host() == h.get())
                    p->handle(Publication::Event::StartOver);
            }
        }
        // The daemon answers reverse lookups for its own name, also when it has stopped
        // answering us.
        h->commit(engine, m_addresses, !engine->isDaemon() && !m_chooser->besideHungDaemon());
    }
    for (Publication *p : qAsConst(m_publications)) {
        p->sync();
        if (p->state() == ClaimState::Waiting && mayCommit(p))
            p->handle(Publication::Event::Commit);
    }
}

bool Responder::mayCommit(const Publication *p) const
{
    if (!p->host())
        return !m_ownHostSettling; // it points at the engine's own name, which must stand
    return p->host()->state() == ClaimState::Probing;
}

void Responder::conflicted()
{
    m_pacer.noteConflict();
    if (!m_round.isActive())
        m_round.start(m_pacer.untilNextRound());
}

// Every name renamed since the last round goes into the next one together.
void Responder::openRound()
{
    m_pacer.roundStarted();
    for (Publication *p : qAsConst(m_publications))
        p->handle(Publication::Event::RoundOpens);
    for (const auto &h : m_hosts)
        h->roundOpens();
    schedule();
}

QByteArray Responder::targetLabel(const Publication *p, QByteArray *systemLabel) const
{
    Engine *engine = m_chooser->engine();
    if (engine->foreignNetwork())
        return QByteArray();
    const QByteArray own = engine->ownHostName();
    QByteArray label = p->current().hostLabel;
    if (label.isEmpty()) {
        if (!own.isEmpty())
            return QByteArray();
        if (systemLabel->isEmpty())
            *systemLabel = systemHostLabel();
        label = *systemLabel;
    }
    if (!own.isEmpty() && label.compare(own, Qt::CaseInsensitive) == 0)
        return QByteArray();
    return label;
}

void Responder::attachHost(Publication *p, const QByteArray &label)
{
    if (p->host() && p->host()->requested() == label)
        return;
    detachHost(p);
    if (label.isEmpty())
        return;
    for (const auto &h : m_hosts) {
        if (h->requested() == label) {
            p->setHost(h.get());
            ++h->users;
            return;
        }
    }
    if (!m_watch) {
        m_watch = new AddressWatch(this);
        connect(m_watch, &AddressWatch::changed, this, &Responder::addressesChanged);
        m_addresses = announceableAddresses();
    }
    m_hosts.push_back(std::unique_ptr<HostRecords>(new HostRecords(this, label)));
    m_hosts.back()->users = 1;
    p->setHost(m_hosts.back().get());
}

void Responder::detachHost(Publication *p)
{
    HostRecords *h = p->host();
    p->setHost(nullptr);
    if (!h || --h->users > 0)
        return;
    for (auto it = m_hosts.begin(); it != m_hosts.end(); ++it) {
        if (it->get() == h) {
            m_hosts.erase(it); // its groups go with it, with goodbyes
            return;
        }
    }
}

void Responder::addressesChanged()
{
    const QVector<LocalAddress> now = announceableAddresses();
    if (now == m_addresses)
        return;
    qCDebug(lcZeroConf) << "addresses changed; announcing them again";
    for (const LocalAddress &a : qAsConst(m_addresses)) {
        if (!now.contains(a)) {
            ++m_addressLosses;
            m_probesCheck.start();
            break;
        }
    }
    m_addresses = now;
    for (const auto &h : m_hosts)
        h->refresh();
    schedule();
}

// Avahi 0.8 may never finish a probe that an interface went away under: whatever was
// probing then starts over, once. Nothing that is established is touched, nothing
// committed since (a new address's records) is, and nothing is redone because probing
// merely takes long: under load it does.
void Responder::restartProbing()
{
    int restarted = 0;
    for (Publication *p : qAsConst(m_publications)) {
        if (p->state() == ClaimState::Probing && p->committedAfter() < m_addressLosses) {
            p->handle(Publication::Event::StartOver);
            ++restarted;
        }
    }
    for (const auto &h : m_hosts)
        h->restartProbing(m_addressLosses);
    qCDebug(lcZeroConf) << "an interface went away while probing;" << restarted
                        << "services probe again";
    schedule();
}

QString Responder::whatWeDo(const QString &through) const
{
    QStringList names;
    for (const Publication *p : m_publications) {
        if (p->state() != ClaimState::Failed)
            names << quotedUtf8(p->current().name);
    }
    if (!names.isEmpty())
        return QStringLiteral("announcing %1 %2").arg(names.join(QStringLiteral(", ")), through);
    return QStringLiteral("browsing %1").arg(through);
}

void Responder::onRunning()
{
    Engine *engine = m_chooser->engine();
    qCDebug(lcZeroConf).noquote() << QStringLiteral("using %1").arg(engine->description());
    m_ownHostSettling = false;
    if (engine->foreignNetwork() && !m_warnedForeign) {
        m_warnedForeign = true;
        qCWarning(lcZeroConf).noquote()
            << QStringLiteral("the mDNS daemon runs on another network than this process; "
                              "services point at its host name %1, without address records "
                              "of ours")
                   .arg(quotedUtf8(engine->ownHostName() + ".local"));
    }
    if (m_watch)
        m_addresses = announceableAddresses();
    for (const auto &h : m_hosts)
        h->refresh();
    emit engineRunning();
    schedule();
}

void Responder::onHostChanging()
{
    // Services that point at the engine's own name go again once it stands.
    m_ownHostSettling = true;
    for (Publication *p : qAsConst(m_publications)) {
        if (!p->host())
            p->handle(Publication::Event::StartOver);
    }
}

void Responder::onLost()
{
    for (Publication *p : qAsConst(m_publications))
        p->handle(Publication::Event::StartOver);
    for (const auto &h : m_hosts)
        h->startOver();
    emit engineLost();
}

void Responder::onBack()
{
    qCWarning(lcZeroConf).noquote() << QStringLiteral("the mDNS daemon is back; %1")
                                           .arg(whatWeDo(QStringLiteral("through it again")));
}

void Responder::onMoved(EngineChooser::Move move, const QString &why, bool warn)
{
    QString line;
    switch (move) {
    case EngineChooser::Move::ToEmbeddedAtStart:
        line = QStringLiteral("%1; using the embedded responder").arg(why);
        break;
    case EngineChooser::Move::ToEmbedded:
        line = QStringLiteral("%1; %2").arg(why, whatWeDo(QStringLiteral("on our own")));
        break;
    case EngineChooser::Move::ToDaemon:
        qCInfo(lcZeroConf).noquote()
            << QStringLiteral("the host's mDNS daemon answers; %1, not on our own any more")
                   .arg(whatWeDo(QStringLiteral("through it")));
        return;
    }
    if (warn)
        qCWarning(lcZeroConf).noquote() << line;
    else
        qCDebug(lcZeroConf).noquote() << line;
}

void Responder::onFailed(const QString &why)
{
    for (Publication *p : qAsConst(m_publications))
        p->handle(Publication::Event::EngineFailed, why);
    emit engineFailed(why);
}

void Responder::terminate()
{
    onLost();
    // The embedded engine sends every queued goodbye as it is freed; the daemon
    // withdraws what a client that is gone had published.
    m_chooser->stop();
}

} // namespace QZeroConfInternal
