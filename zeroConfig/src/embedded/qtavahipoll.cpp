// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "qtavahipoll_p.h"

#include <QElapsedTimer>
#include <QTimer>

#include <sys/time.h>

#include <climits>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

using QZeroConfInternal::QtAvahiPoll;

namespace {

struct Registry
{
    QObject *owner = nullptr;
    QList<AvahiWatch *> watches;
    QList<AvahiTimeout *> timeouts;
};

Registry *registryOf(const AvahiPoll *api)
{
    return static_cast<Registry *>(api->userdata);
}

} // namespace

// The structs Avahi only knows as opaque handles.
struct AvahiWatch
{
    Registry *registry = nullptr;
    int fd = -1;
    int wanted = 0;
    int happened = 0; // valid while the callback runs
    AvahiWatchCallback callback = nullptr;
    void *userdata = nullptr;
    QSocketNotifier *notifiers[2] = {nullptr, nullptr}; // read, write
    // A watch that asks for ERR or HUP but not IN cannot use a read notifier: that would
    // wake, unanswered, for as long as data waits. It waits on an epoll set instead that
    // holds fd with no events, which the kernel makes readable on error or hang-up only.
    int hangupSet = -1;
    QSocketNotifier *hangupNotifier = nullptr;
    int running = 0;
    bool dead = false;
};

struct AvahiTimeout
{
    Registry *registry = nullptr;
    QTimer *timer = nullptr;
    QElapsedTimer armedAt;
    qint64 delayMs = 0;
    AvahiTimeoutCallback callback = nullptr;
    void *userdata = nullptr;
    int running = 0;
    bool dead = false;
};

namespace {

// ---- watches -------------------------------------------------------------------------

void dropNotifier(QSocketNotifier *&n)
{
    if (!n)
        return;
    // A notifier may be the sender of the signal being served right now: disarm it at
    // once, delete it from the event loop.
    n->setEnabled(false);
    QObject::disconnect(n, nullptr, nullptr, nullptr);
    n->deleteLater();
    n = nullptr;
}

void releaseWatch(AvahiWatch *w)
{
    w->registry->watches.removeOne(w);
    for (QSocketNotifier *&n : w->notifiers)
        dropNotifier(n);
    dropNotifier(w->hangupNotifier);
    if (w->hangupSet >= 0)
        close(w->hangupSet);
    delete w;
}

// direction: POLLIN or POLLOUT for the read or write notifier, 0 for the hang-up one.
void dispatchWatch(AvahiWatch *w, short direction)
{
    if (w->dead || (direction && !(w->wanted & direction)))
        return;
    // A read notifier also wakes on hang-up and error, and a write notifier on error;
    // ask the descriptor what actually happened so that the callback gets the truth.
    // Error and hang-up go to every watch, as poll(2) reports them whatever was asked.
    pollfd p = {w->fd, short(w->wanted & (POLLIN | POLLOUT)), 0};
    if (::poll(&p, 1, 0) <= 0)
        return;
    const int happened = p.revents & (direction | POLLERR | POLLHUP);
    if (!happened)
        return;
    // Error and hang-up last: told once, a watch that reads nothing hears of them again
    // only once it has been updated, which may happen from inside the callback.
    if (!direction)
        w->hangupNotifier->setEnabled(false);
    w->happened = happened;
    ++w->running;
    w->callback(w, w->fd, AvahiWatchEvent(happened), w->userdata);
    --w->running;
    w->happened = 0;
    if (w->dead && w->running == 0)
        releaseWatch(w);
}

// Arms or disarms the epoll set that tells a watch without IN of error and hang-up.
void watchHangup(AvahiWatch *w, bool want)
{
    if (want && w->hangupSet < 0) {
        w->hangupSet = epoll_create1(EPOLL_CLOEXEC);
        epoll_event none = {};
        // A descriptor that epoll refuses (a regular file) never hangs up: nothing to do.
        if (w->hangupSet >= 0 && epoll_ctl(w->hangupSet, EPOLL_CTL_ADD, w->fd, &none) == 0) {
            w->hangupNotifier =
                new QSocketNotifier(w->hangupSet, QSocketNotifier::Read, w->registry->owner);
            QObject::connect(w->hangupNotifier, &QSocketNotifier::activated, w->hangupNotifier,
                             [w] { dispatchWatch(w, 0); });
        }
    } else if (w->hangupNotifier) {
        w->hangupNotifier->setEnabled(want);
    }
}

void setWatchEvents(AvahiWatch *w, int events)
{
    w->wanted = events;
    // Error and hang-up come through the read notifier too, where there is one.
    const bool want[2] = {bool(events & POLLIN), bool(events & POLLOUT)};
    watchHangup(w, !want[0] && (events & (POLLERR | POLLHUP)));
    const QSocketNotifier::Type types[2] = {QSocketNotifier::Read, QSocketNotifier::Write};
    const short directions[2] = {POLLIN, POLLOUT};
    for (int i = 0; i < 2; ++i) {
        QSocketNotifier *&n = w->notifiers[i];
        if (want[i] && !n) {
            n = new QSocketNotifier(w->fd, types[i], w->registry->owner);
            const short direction = directions[i];
            QObject::connect(n, &QSocketNotifier::activated, n,
                             [w, direction] { dispatchWatch(w, direction); });
        } else if (n && n->isEnabled() != want[i]) {
            n->setEnabled(want[i]);
        }
    }
}

AvahiWatch *watchNew(const AvahiPoll *api, int fd, AvahiWatchEvent event,
                     AvahiWatchCallback callback, void *userdata)
{
    auto *w = new AvahiWatch;
    w->registry = registryOf(api);
    w->fd = fd;
    w->callback = callback;
    w->userdata = userdata;
    w->registry->watches.append(w);
    setWatchEvents(w, event);
    return w;
}

void watchUpdate(AvahiWatch *w, AvahiWatchEvent event)
{
    if (!w->dead)
        setWatchEvents(w, event);
}

AvahiWatchEvent watchGetEvents(AvahiWatch *w)
{
    return AvahiWatchEvent(w->happened);
}

void watchFree(AvahiWatch *w)
{
    if (w->running) {
        w->dead = true;
        setWatchEvents(w, 0);
        return;
    }
    releaseWatch(w);
}

// ---- timeouts ------------------------------------------------------------------------

void releaseTimeout(AvahiTimeout *t)
{
    t->registry->timeouts.removeOne(t);
    t->timer->stop();
    QObject::disconnect(t->timer, nullptr, nullptr, nullptr);
    t->timer->deleteLater();
    delete t;
}

void armTimeout(AvahiTimeout *t, const timeval *tv)
{
    if (!tv) {
        t->timer->stop();
        return;
    }
    // Avahi speaks absolute wall-clock time; turn it into a delay at once and let the
    // monotonic QTimer count it down, so a clock step cannot stall or rush the engine.
    // Round up: firing a millisecond early only makes the engine re-arm.
    timeval now;
    gettimeofday(&now, nullptr);
    const qint64 us = (qint64(tv->tv_sec) - now.tv_sec) * 1000000 + (tv->tv_usec - now.tv_usec);
    t->delayMs = us <= 0 ? 0 : qMin<qint64>((us + 999) / 1000, INT_MAX);
    t->armedAt.start();
    t->timer->start(int(t->delayMs));
}

void dispatchTimeout(AvahiTimeout *t)
{
    if (t->dead)
        return;
    const qint64 left = t->delayMs - t->armedAt.elapsed();
    if (left > 0) { // a coarse wake-up; never call the engine early
        t->timer->start(int(left));
        return;
    }
    ++t->running;
    t->callback(t, t->userdata);
    --t->running;
    if (t->dead && t->running == 0)
        releaseTimeout(t);
}

AvahiTimeout *timeoutNew(const AvahiPoll *api, const timeval *tv, AvahiTimeoutCallback callback,
                         void *userdata)
{
    auto *t = new AvahiTimeout;
    t->registry = registryOf(api);
    t->callback = callback;
    t->userdata = userdata;
    t->timer = new QTimer(t->registry->owner);
    t->timer->setSingleShot(true);
    t->timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(t->timer, &QTimer::timeout, t->timer, [t] { dispatchTimeout(t); });
    t->registry->timeouts.append(t);
    armTimeout(t, tv);
    return t;
}

void timeoutUpdate(AvahiTimeout *t, const timeval *tv)
{
    if (!t->dead)
        armTimeout(t, tv);
}

void timeoutFree(AvahiTimeout *t)
{
    if (t->running) {
        t->dead = true;
        t->timer->stop();
        return;
    }
    releaseTimeout(t);
}

} // namespace

QtAvahiPoll::QtAvahiPoll() : m_owner(new QObject)
{
    auto *registry = new Registry;
    registry->owner = m_owner.get();
    m_api.userdata = registry;
    m_api.watch_new = watchNew;
    m_api.watch_update = watchUpdate;
    m_api.watch_get_events = watchGetEvents;
    m_api.watch_free = watchFree;
    m_api.timeout_new = timeoutNew;
    m_api.timeout_update = timeoutUpdate;
    m_api.timeout_free = timeoutFree;
}

QtAvahiPoll::~QtAvahiPoll()
{
    Registry *registry = registryOf(&m_api);
    while (!registry->watches.isEmpty())
        releaseWatch(registry->watches.first());
    while (!registry->timeouts.isEmpty())
        releaseTimeout(registry->timeouts.first());
    delete registry;
    // m_owner deletes the notifiers and timers still waiting for deleteLater.
}

int QtAvahiPoll::enabledNotifiers(int fd, QSocketNotifier::Type type) const
{
    int count = 0;
    const auto notifiers = m_owner->findChildren<QSocketNotifier *>();
    for (const QSocketNotifier *n : notifiers)
        count += n->socket() == fd && n->type() == type && n->isEnabled();
    return count;
}
