// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "terminationguard_p.h"

#include "logging_p.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHash>
#include <QObject>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
#define QZEROCONF_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QZEROCONF_TSAN 1
#endif
#endif
#ifdef QZEROCONF_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace QZeroConfInternal {
namespace TerminationGuard {

namespace {

constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};

// What the signal handler reads and writes: lock-free atomics only.
std::atomic<pid_t> ownerPid{0};   // the process whose holders the handler works for
std::atomic<int> wakeFd{-1};      // the self-pipe's write end, non-blocking
std::atomic<int> caughtSignal{0}; // the signal being served, until it is raised again
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

class Agent;

struct Holder
{
    std::function<void()> withdraw;
    Agent *agent = nullptr;
};

struct State
{
    std::mutex mutex; // guards everything below; never held while calling out
    pid_t pid = 0;    // the process that made the pipe and the watcher thread
    int pipe[2] = {-1, -1};
    QHash<QObject *, Holder> holders;
};

// Never destroyed: the watcher thread may still be using it while the process exits.
State &state()
{
    static State *const s = [] {
        auto *created = new State;
        // A fork from another thread while the mutex is held would leave it locked for
        // good in the child.
        pthread_atfork([] { state().mutex.lock(); }, [] { state().mutex.unlock(); },
                       [] { state().mutex.unlock(); });
        return created;
    }();
    return *s;
}

extern "C" void onSignal(int signo);

// Whatever the flags: SIG_DFL, SIG_IGN and our handler read the same through either
// member of the union.
bool isOurs(const struct sigaction &action)
{
    return action.sa_handler == onSignal;
}

// Async-signal-safe. Where the application has put its own action since, it stays.
void putBackDefaultActions()
{
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int signo : Signals) {
        struct sigaction current;
        if (sigaction(signo, nullptr, &current) == 0 && isOurs(current))
            sigaction(signo, &dfl, nullptr);
    }
}

extern "C" void onSignal(int signo)
{
    const int savedErrno = errno;
    // The one signal we wait for is this one: a second ends the process at once, however
    // long the event loops take. (SA_RESETHAND has done this for signo already.)
    putBackDefaultActions();
    if (getpid() != ownerPid.load()) {
        // A child forked without exec: the publications are its parent's. End as a
        // fresh process would; signo is blocked until we return, and then it is
        // delivered with the default action.
        raise(signo);
    } else {
        int none = 0;
        caughtSignal.compare_exchange_strong(none, signo);
        // A full pipe means a wake-up is pending already, which is all that is needed.
        const unsigned char byte = 1;
        const ssize_t written = write(wakeFd.load(), &byte, 1);
        (void)written;
    }
    errno = savedErrno;
}

// Delivers signo again in this thread, with whatever action it has now.
void deliver(int signo)
{
    sigset_t set, previous;
    sigemptyset(&set);
    sigaddset(&set, signo);
    pthread_sigmask(SIG_UNBLOCK, &set, &previous);
    raise(signo);
    // Still here: the application handles or ignores it.
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Qt is not built with ThreadSanitizer, which therefore cannot see that posting an event
// orders what the poster did before the event's delivery; say so.
void postedFrom(void *receiver)
{
#ifdef QZEROCONF_TSAN
    __tsan_release(receiver);
#else
    Q_UNUSED(receiver)
#endif
}

void deliveredTo(void *receiver)
{
#ifdef QZEROCONF_TSAN
    __tsan_acquire(receiver);
#else
    Q_UNUSED(receiver)
#endif
}

QEvent::Type withdrawalEvent()
{
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}

void drop(QObject *holder, Agent *only);
void withdrawNow(QObject *holder);

// A child of the holder, on its thread: the watcher thread posts the withdrawal to it,
// and it goes with the holder.
class Agent : public QObject
{
public:
    explicit Agent(QObject *holder) : QObject(holder), m_holder(holder) {}
    // The holder is being destroyed without having been released.
    ~Agent() override { drop(m_holder, this); }

    bool event(QEvent *e) override
    {
        deliveredTo(this);
        if (e->type() != withdrawalEvent())
            return QObject::event(e);
        withdrawNow(m_holder);
        return true;
    }

private:
    QObject *const m_holder;
};

// With the mutex held, so that the agent outlives the call.
void postWithdrawal(Agent *agent)
{
    postedFrom(agent);
    QCoreApplication::postEvent(agent, new QEvent(withdrawalEvent()));
}

// The watcher thread, woken by the handler.
void serveCaughtSignal()
{
    State &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    const int signo = caughtSignal.load();
    if (!signo)
        return; // raised again already by the last release
    if (s.holders.isEmpty()) {
        // Released between the handler and now: nothing is left to withdraw. This thread
        // blocks the signal, so one of the others takes it.
        const int pending = caughtSignal.exchange(0);
        lock.unlock();
        if (pending)
            kill(getpid(), pending);
        return;
    }
    for (const Holder &holder : qAsConst(s.holders))
        postWithdrawal(holder.agent);
    const int holders = s.holders.size();
    lock.unlock();
    qCDebug(lcZeroConf) << "signal" << signo << "received; withdrawing" << holders
                        << "publication(s) before exit";
}

void *watchSignals(void *readEnd)
{
    const int fd = int(reinterpret_cast<intptr_t>(readEnd));
    for (;;) {
        unsigned char bytes[64];
        const ssize_t n = read(fd, bytes, sizeof bytes);
        if (n > 0)
            serveCaughtSignal();
        else if (n == 0 || errno != EINTR)
            return nullptr;
    }
}

// With the mutex held. After a fork the holders, the pipe and the watcher thread are the
// parent's: forget the holders, close our copy of the pipe; the thread is not here.
void leaveParentsState(State &s)
{
    if (s.pid == 0 || s.pid == getpid())
        return;
    s.holders.clear();
    for (int &fd : s.pipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    wakeFd.store(-1);
    caughtSignal.store(0);
    s.pid = 0;
}

// With the mutex held: a self-pipe and a thread that waits on it, once per process.
bool startWatcher(State &s)
{
    if (s.pid == getpid())
        return true;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0 || fcntl(fds[1], F_SETFL, O_NONBLOCK) != 0) {
        qCDebug(lcZeroConf) << "no self-pipe for signals:" << strerror(errno);
        return false;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    // The thread inherits this mask: it never runs a handler, so every signal meant for
    // the application reaches one of the application's threads. Faults stay unblocked.
    sigset_t all, previous;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
        sigdelset(&all, fault);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    pthread_t thread;
    const int error =
        pthread_create(&thread, &attr, watchSignals, reinterpret_cast<void *>(intptr_t(fds[0])));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
    if (error != 0) {
        qCDebug(lcZeroConf) << "no thread to serve signals:" << strerror(error);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    s.pipe[0] = fds[0];
    s.pipe[1] = fds[1];
    wakeFd.store(fds[1]);
    s.pid = getpid();
    ownerPid.store(s.pid);
    return true;
}

// With the mutex held.
void installActions()
{
    struct sigaction action = {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signo : Signals)
        sigaddset(&action.sa_mask, signo);
    for (int signo : Signals) {
        struct sigaction current;
        if (sigaction(signo, nullptr, &current) != 0)
            continue;
        // Ours already: inherited from a parent that had a publication standing.
        if (current.sa_handler == SIG_DFL || isOurs(current))
            sigaction(signo, &action, nullptr);
    }
}

void withdrawNow(QObject *holder)
{
    State &s = state();
    std::function<void()> withdraw;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const auto it = s.holders.constFind(holder);
        if (it == s.holders.cend())
            return;
        withdraw = it->withdraw;
    }
    withdraw();
    release(holder);
}

// Forgets holder (only while `only` is its agent, when given), and delivers the signal
// being served once the last holder is gone.
void drop(QObject *holder, Agent *only)
{
    State &s = state();
    Agent *agent = nullptr;
    int pending = 0;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        leaveParentsState(s);
        const auto it = s.holders.find(holder);
        if (it == s.holders.end() || (only && it->agent != only))
            return;
        agent = it->agent;
        s.holders.erase(it);
        if (s.holders.isEmpty()) {
            putBackDefaultActions();
            // The signal being served meant to end the process; everything it would have
            // withdrawn is gone now, so deliver it.
            pending = caughtSignal.exchange(0);
        }
    }
    // We may be inside the agent's own event, from withdrawNow().
    if (agent != only)
        agent->deleteLater();
    if (pending)
        deliver(pending);
}

} // namespace

void hold(QObject *holder, std::function<void()> withdraw)
{
    State &s = state();
    // Made before locking: adding a child sends the holder an event, and so runs code.
    auto *agent = new Agent(holder);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        leaveParentsState(s);
        const auto it = s.holders.find(holder);
        if (it != s.holders.end()) {
            it->withdraw = std::move(withdraw);
        } else if (startWatcher(s)) {
            const bool first = s.holders.isEmpty();
            s.holders.insert(holder, Holder{std::move(withdraw), agent});
            if (caughtSignal.load())
                postWithdrawal(agent); // a signal is being served: this one goes too
            else if (first)
                installActions();
            agent = nullptr;
        }
    }
    if (agent) {
        // Held already (or no watcher): the agent is not needed. ~Agent finds it is not
        // the holder's.
        delete agent;
    }
}

void release(QObject *holder)
{
    drop(holder, nullptr);
}

} // namespace TerminationGuard
} // namespace QZeroConfInternal
