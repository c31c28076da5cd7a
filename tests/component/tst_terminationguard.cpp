// The signal guard on its own, with withdrawals that record where they ran: which
// actions it takes and puts back, that a caught signal leaves the next one to the default
// action, that each holder withdraws on its own thread however threads come and go, and
// that a forked child does not act for its parent.
//
// The guard delivers the caught signal again once the last holder is released. Here the
// withdrawals install a handler of the test's own first, as an application may, so that
// it lands there instead of ending the test.

#include "terminationguard_p.h"

#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>

using namespace QZeroConfInternal;

namespace {

constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};

std::atomic<int> applicationHandled{0};
void applicationHandler(int)
{
    ++applicationHandled;
}

// The action of signo: "default", "ignored", "application", or "guard" for any other.
QByteArray actionOf(int signo)
{
    struct sigaction current;
    sigaction(signo, nullptr, &current);
    if (current.sa_handler == SIG_DFL)
        return "default";
    if (current.sa_handler == SIG_IGN)
        return "ignored";
    return current.sa_handler == applicationHandler ? "application" : "guard";
}

// Where each withdrawal ran. std::mutex rather than QMutex: ThreadSanitizer sees it.
struct Withdrawals
{
    std::mutex mutex;
    QList<QPair<QObject *, QThread *>> seen;

    std::function<void()> of(QObject *holder)
    {
        return [this, holder] {
            signal(SIGTERM, applicationHandler);
            std::lock_guard<std::mutex> lock(mutex);
            seen.append({holder, QThread::currentThread()});
        };
    }
    int count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size();
    }
};

// A thread that runs an event loop and a holder of its own, made there. No functors are
// posted across threads: Qt is not built with ThreadSanitizer, which would not see them
// handed over.
class Worker : public QThread
{
public:
    std::function<void(QObject *)> atStart, atEnd; // set before start()

    ~Worker() override
    {
        quit();
        wait();
        std::unique_lock<std::mutex> lock(m_mutex); // what QThread::wait() does not show
        m_ready.wait(lock, [this] { return m_ended; });
    }
    QObject *holder()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [this] { return m_holder != nullptr; });
        return m_holder;
    }

protected:
    void run() override
    {
        QObject holder;
        if (atStart)
            atStart(&holder);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_holder = &holder;
        }
        m_ready.notify_all();
        exec();
        if (atEnd)
            atEnd(&holder);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
        m_ready.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    QObject *m_holder = nullptr;
    bool m_ended = false;
};

} // namespace

class tst_TerminationGuard : public QObject
{
    Q_OBJECT

    Withdrawals m_withdrawals;

    void holdOnStart(Worker &worker)
    {
        worker.atStart = [this](QObject *holder) {
            TerminationGuard::hold(holder, m_withdrawals.of(holder));
        };
        worker.start();
    }

private Q_SLOTS:
    void init()
    {
        // QtTest's crash handler takes these; start from the default actions.
        for (int signo : Signals)
            signal(signo, SIG_DFL);
        applicationHandled = 0;
        m_withdrawals.seen.clear();
    }

    void cleanup() { init(); }

    void takesDefaultActionsOnlyAndPutsBackOnlyItsOwn_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("released") << false;
        QTest::newRow("holder destroyed") << true;
    }

    void takesDefaultActionsOnlyAndPutsBackOnlyItsOwn()
    {
        QFETCH(bool, destroy);
        signal(SIGHUP, SIG_IGN); // nohup
        auto *holder = new QObject;
        TerminationGuard::hold(holder, [] {});
        QCOMPARE(actionOf(SIGTERM), QByteArray("guard"));
        QCOMPARE(actionOf(SIGINT), QByteArray("guard"));
        QCOMPARE(actionOf(SIGHUP), QByteArray("ignored"));
        signal(SIGTERM, applicationHandler); // the application's, set later
        if (destroy)
            delete holder;
        else
            TerminationGuard::release(holder);
        QCOMPARE(actionOf(SIGTERM), QByteArray("application"));
        QCOMPARE(actionOf(SIGINT), QByteArray("default"));
        QCOMPARE(actionOf(SIGHUP), QByteArray("ignored"));
        if (!destroy)
            delete holder;
    }

    void aCaughtSignalLeavesTheNextToTheDefaultAction()
    {
        QObject holder;
        TerminationGuard::hold(&holder, m_withdrawals.of(&holder));
        raise(SIGTERM); // handled in this thread before raise() returns
        for (int signo : Signals)
            QCOMPARE(actionOf(signo), QByteArray("default"));
        QCOMPARE(m_withdrawals.count(), 0); // waits for this thread's event loop
        QTRY_COMPARE(m_withdrawals.count(), 1);
        QTRY_COMPARE(applicationHandled.load(), 1);
        // Served; the guard takes the next publication as before.
        signal(SIGTERM, SIG_DFL);
        TerminationGuard::hold(&holder, m_withdrawals.of(&holder));
        QCOMPARE(actionOf(SIGTERM), QByteArray("guard"));
        TerminationGuard::release(&holder);
        QCOMPARE(actionOf(SIGTERM), QByteArray("default"));
    }

    void eachHolderWithdrawsOnItsOwnThread()
    {
        Worker first, second;
        QObject onMain;
        holdOnStart(first);
        TerminationGuard::hold(&onMain, m_withdrawals.of(&onMain));
        holdOnStart(second);
        const QHash<QObject *, QThread *> threadOf{
            {first.holder(), &first}, {second.holder(), &second}, {&onMain, thread()}};
        raise(SIGTERM);
        QTRY_COMPARE(m_withdrawals.count(), 3);
        for (const auto &seen : qAsConst(m_withdrawals.seen))
            QCOMPARE(seen.second, threadOf.value(seen.first));
        // Delivered again once, after the last of them.
        QTRY_COMPARE(applicationHandled.load(), 1);
        QTest::qWait(50);
        QCOMPARE(applicationHandled.load(), 1);
    }

    void threadsThatCameAndWentLeaveNothingBehind()
    {
        for (int i = 0; i < 3; ++i) {
            Worker worker;
            worker.atEnd = [](QObject *holder) {
                TerminationGuard::release(holder);
            };
            holdOnStart(worker);
            worker.holder();
        }
        QCOMPARE(actionOf(SIGTERM), QByteArray("default"));
        QObject onMain;
        TerminationGuard::hold(&onMain, m_withdrawals.of(&onMain));
        raise(SIGTERM);
        QTRY_COMPARE(applicationHandled.load(), 1);
        QCOMPARE(m_withdrawals.seen, (QList<QPair<QObject *, QThread *>>{{&onMain, thread()}}));
    }

    void aForkedChildEndsAsAFreshProcessWould_data()
    {
        QTest::addColumn<int>("signo");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void aForkedChildEndsAsAFreshProcessWould()
    {
        QFETCH(int, signo);
#ifdef __SANITIZE_THREAD__
        QSKIP("ThreadSanitizer stops serving signals in a child forked from threads");
#endif
        QObject holder;
        TerminationGuard::hold(&holder, m_withdrawals.of(&holder));
        const pid_t child = fork();
        if (child == 0) {
            for (;;)
                pause();
        }
        QVERIFY(child > 0);
        kill(child, signo);
        int status = 0;
        QElapsedTimer waited;
        waited.start();
        while (waitpid(child, &status, WNOHANG) == 0 && waited.elapsed() < 2000)
            usleep(5000);
        if (waited.elapsed() >= 2000) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            QFAIL("the child lived on");
        }
        QVERIFY(WIFSIGNALED(status));
        QCOMPARE(WTERMSIG(status), signo);
        // The parent withdrew nothing and still holds its signals.
        QTest::qWait(200);
        QCOMPARE(m_withdrawals.count(), 0);
        QCOMPARE(actionOf(signo), QByteArray("guard"));
        TerminationGuard::release(&holder);
    }
};

QTEST_GUILESS_MAIN(tst_TerminationGuard)
#include "tst_terminationguard.moc"
