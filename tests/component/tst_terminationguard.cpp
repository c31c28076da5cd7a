// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// The signal guard on its own, with withdrawals that record where they ran: what the
// end-to-end tests cannot see from outside. Which actions it puts back, also when a holder
// is destroyed unreleased, and that each holder withdraws on its own thread however
// threads come and go.
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

    void eachHolderWithdrawsOnItsOwnThread()
    {
        {
            Worker cameAndWent;
            cameAndWent.atEnd = [](QObject *holder) {
                TerminationGuard::release(holder);
            };
            holdOnStart(cameAndWent);
            cameAndWent.holder();
        }
        QCOMPARE(actionOf(SIGTERM), QByteArray("default"));
        Worker first, second;
        QObject onMain;
        holdOnStart(first);
        TerminationGuard::hold(&onMain, m_withdrawals.of(&onMain));
        holdOnStart(second);
        const QHash<QObject *, QThread *> threadOf{
            {first.holder(), &first}, {second.holder(), &second}, {&onMain, thread()}};
        raise(SIGTERM); // handled in this thread before raise() returns
        // All three back at the default action, so a second signal ends the process at
        // once; a worker's withdrawal may have given SIGTERM to the application already.
        QCOMPARE(actionOf(SIGINT), QByteArray("default"));
        QCOMPARE(actionOf(SIGHUP), QByteArray("default"));
        QVERIFY(actionOf(SIGTERM) != "guard");
        QTRY_COMPARE(m_withdrawals.count(), 3);
        for (const auto &seen : qAsConst(m_withdrawals.seen))
            QCOMPARE(seen.second, threadOf.value(seen.first));
        // Delivered again once, after the last of them.
        QTRY_COMPARE(applicationHandled.load(), 1);
        QTest::qWait(50);
        QCOMPARE(applicationHandled.load(), 1);
        // Served; the guard takes the next publication as before.
        signal(SIGTERM, SIG_DFL);
        TerminationGuard::hold(&onMain, [] {});
        QCOMPARE(actionOf(SIGTERM), QByteArray("guard"));
        TerminationGuard::release(&onMain);
    }
};

QTEST_GUILESS_MAIN(tst_TerminationGuard)
#include "tst_terminationguard.moc"
