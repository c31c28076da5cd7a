#include "terminationguard_p.h"

#include "logging_p.h"

#include <QHash>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace QZeroConfInternal {
namespace TerminationGuard {

namespace {

constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int SignalCount = sizeof(Signals) / sizeof(Signals[0]);

int wakePipe[2] = {-1, -1};

struct State
{
    QHash<const void *, std::function<void()>> holders;
    struct sigaction previous[SignalCount];
    bool caught[SignalCount] = {};
    QSocketNotifier *notifier = nullptr;
};

State &state()
{
    static State s;
    return s;
}

extern "C" void onSignal(int signo)
{
    // Async-signal-safe: one write, errno preserved. A full pipe means a wake-up is
    // already pending, which is all that is needed.
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    ssize_t written = write(wakePipe[1], &byte, 1);
    (void)written;
    errno = savedErrno;
}

void restoreActions()
{
    State &s = state();
    for (int i = 0; i < SignalCount; ++i) {
        if (s.caught[i])
            sigaction(Signals[i], &s.previous[i], nullptr);
        s.caught[i] = false;
    }
    if (s.notifier)
        s.notifier->setEnabled(false);
}

// The first signal waiting in the pipe, or 0.
int takePending()
{
    unsigned char byte = 0;
    int signo = 0;
    while (wakePipe[0] >= 0 && read(wakePipe[0], &byte, 1) == 1) {
        if (!signo)
            signo = byte;
    }
    return signo;
}

void raiseWithDefaultAction(int signo)
{
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(signo, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signo);
}

void terminate()
{
    const int signo = takePending();
    State &s = state();
    if (!signo || s.holders.isEmpty())
        return;
    qCDebug(lcZeroConf) << "signal" << signo << "received; withdrawing before exit";

    // Withdrawing releases the holder, which edits the table: walk a copy.
    const auto withdrawals = s.holders;
    for (const auto &withdraw : withdrawals)
        withdraw();
    restoreActions();
    raiseWithDefaultAction(signo);
}

bool ensurePipe()
{
    State &s = state();
    if (wakePipe[0] < 0 && pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCDebug(lcZeroConf) << "no self-pipe for signals:" << strerror(errno);
        return false;
    }
    if (!s.notifier) {
        s.notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read);
        QObject::connect(s.notifier, &QSocketNotifier::activated, s.notifier, terminate);
    }
    s.notifier->setEnabled(true);
    return true;
}

void installActions()
{
    State &s = state();
    if (!ensurePipe())
        return;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signo : Signals)
        sigaddset(&action.sa_mask, signo);
    for (int i = 0; i < SignalCount; ++i) {
        struct sigaction current;
        if (sigaction(Signals[i], nullptr, &current) != 0)
            continue;
        const bool isDefault = !(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_DFL;
        if (!isDefault)
            continue;
        s.previous[i] = current;
        s.caught[i] = sigaction(Signals[i], &action, nullptr) == 0;
    }
}

} // namespace

void hold(const void *holder, std::function<void()> withdraw)
{
    State &s = state();
    const bool first = s.holders.isEmpty();
    s.holders.insert(holder, std::move(withdraw));
    if (first)
        installActions();
}

void release(const void *holder)
{
    State &s = state();
    if (!s.holders.remove(holder) || !s.holders.isEmpty())
        return;
    restoreActions();
    // A signal caught after the event loop last ran was meant to end the process; the
    // publication it would have withdrawn is gone already, so deliver it now.
    if (const int signo = takePending())
        raiseWithDefaultAction(signo);
}

} // namespace TerminationGuard
} // namespace QZeroConfInternal
