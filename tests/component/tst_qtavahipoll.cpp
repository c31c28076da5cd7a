// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// The AvahiPoll contract as the engine relies on it: the event that really happened is
// reported, objects may be updated or freed from inside their own callbacks, one
// descriptor never gets two notifiers of one kind, and timeouts fire once, never early.
// Built with AddressSanitizer in CI, which turns a use-after-free here into a failure.

#include "embedded/qtavahipoll_p.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

using QZeroConfInternal::QtAvahiPoll;

namespace {

struct Pipe
{
    int fds[2] = {-1, -1};
    Pipe() { pipe2(fds, O_NONBLOCK | O_CLOEXEC); }
    ~Pipe() { closeBoth(); }
    int readEnd() const { return fds[0]; }
    int writeEnd() const { return fds[1]; }
    void put() { QCOMPARE(write(fds[1], "x", 1), ssize_t(1)); }
    void closeEnd(int i)
    {
        close(fds[i]);
        fds[i] = -1;
    }
    void closeWriteEnd() { closeEnd(1); }
    void closeBoth()
    {
        for (int &fd : fds) {
            if (fd >= 0)
                close(fd);
            fd = -1;
        }
    }
};

struct WatchProbe
{
    const AvahiPoll *api = nullptr;
    QList<int> events;
    QList<int> eventsFromGetter;
    std::function<void(AvahiWatch *)> then;

    static void callback(AvahiWatch *w, int fd, AvahiWatchEvent event, void *userdata)
    {
        auto *self = static_cast<WatchProbe *>(userdata);
        self->events.append(event);
        self->eventsFromGetter.append(self->api->watch_get_events(w));
        char buf[16];
        if (event & AVAHI_WATCH_IN)
            (void)!read(fd, buf, sizeof buf);
        if (self->then)
            self->then(w);
    }
};

struct TimeoutProbe
{
    const AvahiPoll *api = nullptr;
    QList<timeval> firedAt;
    std::function<void(AvahiTimeout *)> then;

    static void callback(AvahiTimeout *t, void *userdata)
    {
        auto *self = static_cast<TimeoutProbe *>(userdata);
        timeval now;
        gettimeofday(&now, nullptr);
        self->firedAt.append(now);
        if (self->then)
            self->then(t);
    }
};

timeval inMs(int ms)
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    tv.tv_usec += ms * 1000;
    tv.tv_sec += tv.tv_usec / 1000000;
    tv.tv_usec %= 1000000;
    return tv;
}

bool notBefore(const timeval &a, const timeval &b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec >= b.tv_usec);
}

void spin(int ms)
{
    QTest::qWait(ms);
}

qint64 cpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

class tst_QtAvahiPoll : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reportsInWhenReadable()
    {
        QtAvahiPoll poll;
        Pipe p;
        WatchProbe probe;
        probe.api = poll.api();
        AvahiWatch *w = poll.api()->watch_new(poll.api(), p.readEnd(), AVAHI_WATCH_IN,
                                              WatchProbe::callback, &probe);
        spin(30);
        QVERIFY(probe.events.isEmpty());
        p.put();
        QTRY_COMPARE(probe.events, QList<int>{AVAHI_WATCH_IN});
        QCOMPARE(probe.eventsFromGetter, QList<int>{AVAHI_WATCH_IN});
        QCOMPARE(int(poll.api()->watch_get_events(w)), 0); // only valid inside the callback
        poll.api()->watch_free(w);
    }

    void reportsOutAsOut()
    {
        QtAvahiPoll poll;
        Pipe p;
        WatchProbe probe;
        probe.api = poll.api();
        probe.then = [&](AvahiWatch *w) {
            probe.api->watch_update(w, AvahiWatchEvent(0));
        };
        AvahiWatch *w = poll.api()->watch_new(poll.api(), p.writeEnd(), AVAHI_WATCH_OUT,
                                              WatchProbe::callback, &probe);
        QTRY_COMPARE(probe.events, QList<int>{AVAHI_WATCH_OUT});
        spin(30);
        QCOMPARE(probe.events.size(), 1); // disabled from inside its callback
        poll.api()->watch_free(w);
    }

    void reportsHangUp()
    {
        QtAvahiPoll poll;
        Pipe p;
        WatchProbe probe;
        probe.api = poll.api();
        probe.then = [&](AvahiWatch *w) {
            probe.api->watch_free(w);
        };
        poll.api()->watch_new(poll.api(), p.readEnd(), AVAHI_WATCH_IN, WatchProbe::callback,
                              &probe);
        p.closeWriteEnd();
        QTRY_COMPARE(probe.events.size(), 1);
        QVERIFY(probe.events.first() & AVAHI_WATCH_HUP);
        QVERIFY(!(probe.events.first() & AVAHI_WATCH_OUT));
    }

    // A watch may ask for nothing but ERR or HUP. It hears of them (as poll(2) reports
    // both whatever was asked), never of data or room it did not ask for, once per update,
    // and waiting for them costs no CPU.
    void errorAndHangUpOnlyWatches_data()
    {
        QTest::addColumn<int>("asked");
        QTest::addColumn<int>("watchedEnd"); // the other end gets closed
        QTest::addColumn<int>("reported");
        QTest::newRow("HUP: the writer goes") << int(AVAHI_WATCH_HUP) << 0 << int(AVAHI_WATCH_HUP);
        QTest::newRow("ERR: the reader goes") << int(AVAHI_WATCH_ERR) << 1 << int(AVAHI_WATCH_ERR);
        QTest::newRow("ERR: the writer goes") << int(AVAHI_WATCH_ERR) << 0 << int(AVAHI_WATCH_HUP);
    }

    void errorAndHangUpOnlyWatches()
    {
        QFETCH(int, asked);
        QFETCH(int, watchedEnd);
        QFETCH(int, reported);
        QtAvahiPoll poll;
        Pipe p;
        WatchProbe probe;
        probe.api = poll.api();
        AvahiWatch *w = poll.api()->watch_new(poll.api(), p.fds[watchedEnd], AvahiWatchEvent(asked),
                                              WatchProbe::callback, &probe);
        const qint64 cpuBefore = cpuMs();
        p.put(); // data waits on the read end, room on the write end: neither was asked for
        spin(200);
        QVERIFY(probe.events.isEmpty());
        p.closeEnd(1 - watchedEnd);
        QTRY_COMPARE(probe.events, QList<int>{reported});
        QCOMPARE(probe.eventsFromGetter, QList<int>{reported});
        spin(200);
        QCOMPARE(probe.events.size(), 1);
        QVERIFY2(cpuMs() - cpuBefore < 100,
                 qPrintable(QStringLiteral("%1 ms of CPU in 400 ms").arg(cpuMs() - cpuBefore)));
        poll.api()->watch_update(w, AvahiWatchEvent(asked));
        QTRY_COMPARE(probe.events.size(), 2);
        poll.api()->watch_free(w);
    }

    void updatesNeverLeaveTwoNotifiers()
    {
        QtAvahiPoll poll;
        Pipe p;
        WatchProbe probe;
        probe.api = poll.api();
        const int fd = p.readEnd();
        AvahiWatch *w =
            poll.api()->watch_new(poll.api(), fd, AVAHI_WATCH_IN, WatchProbe::callback, &probe);
        const QList<int> sequence{AVAHI_WATCH_IN | AVAHI_WATCH_OUT,
                                  AVAHI_WATCH_IN,
                                  AVAHI_WATCH_OUT,
                                  0,
                                  AVAHI_WATCH_IN,
                                  AVAHI_WATCH_IN,
                                  AVAHI_WATCH_OUT | AVAHI_WATCH_IN};
        for (int events : sequence) {
            poll.api()->watch_update(w, AvahiWatchEvent(events));
            QCOMPARE(poll.enabledNotifiers(fd, QSocketNotifier::Read),
                     (events & AVAHI_WATCH_IN) ? 1 : 0);
            QCOMPARE(poll.enabledNotifiers(fd, QSocketNotifier::Write),
                     (events & AVAHI_WATCH_OUT) ? 1 : 0);
        }
        poll.api()->watch_free(w);
        QCOMPARE(poll.enabledNotifiers(fd, QSocketNotifier::Read), 0);
        QCOMPARE(poll.enabledNotifiers(fd, QSocketNotifier::Write), 0);
    }

    void freeFromOwnCallback()
    {
        QtAvahiPoll poll;
        Pipe p;
        WatchProbe probe;
        probe.api = poll.api();
        probe.then = [&](AvahiWatch *w) {
            probe.api->watch_update(w, AVAHI_WATCH_OUT); // a dead watch ignores updates
            probe.api->watch_free(w);
            probe.api->watch_update(w, AVAHI_WATCH_IN);
        };
        poll.api()->watch_new(poll.api(), p.readEnd(), AVAHI_WATCH_IN, WatchProbe::callback,
                              &probe);
        p.put();
        QTRY_COMPARE(probe.events.size(), 1);
        p.put();
        spin(50);
        QCOMPARE(probe.events.size(), 1);
        QCOMPARE(poll.enabledNotifiers(p.readEnd(), QSocketNotifier::Read), 0);
    }

    void freeAnotherReadyWatchFromCallback()
    {
        QtAvahiPoll poll;
        Pipe a, b;
        WatchProbe first, second;
        first.api = second.api = poll.api();
        AvahiWatch *wb = nullptr;
        AvahiWatch *wa = nullptr;
        // Whichever runs first frees the other, and closes its descriptor as Avahi does.
        first.then = [&](AvahiWatch *) {
            if (wb) {
                poll.api()->watch_free(wb);
                wb = nullptr;
                b.closeBoth();
            }
        };
        second.then = [&](AvahiWatch *) {
            if (wa) {
                poll.api()->watch_free(wa);
                wa = nullptr;
                a.closeBoth();
            }
        };
        wa = poll.api()->watch_new(poll.api(), a.readEnd(), AVAHI_WATCH_IN, WatchProbe::callback,
                                   &first);
        wb = poll.api()->watch_new(poll.api(), b.readEnd(), AVAHI_WATCH_IN, WatchProbe::callback,
                                   &second);
        a.put();
        b.put();
        QTRY_COMPARE(first.events.size() + second.events.size(), 1);
        spin(50);
        QCOMPARE(first.events.size() + second.events.size(), 1);
        poll.api()->watch_free(wa ? wa : wb);
    }

    void timeoutFiresOnceAndNeverEarly()
    {
        QtAvahiPoll poll;
        TimeoutProbe probe;
        const timeval due = inMs(60);
        AvahiTimeout *t = poll.api()->timeout_new(poll.api(), &due, TimeoutProbe::callback, &probe);
        QTRY_COMPARE(probe.firedAt.size(), 1);
        QVERIFY(notBefore(probe.firedAt.first(), due));
        spin(100);
        QCOMPARE(probe.firedAt.size(), 1);
        poll.api()->timeout_free(t);
    }

    void timeoutInThePastFiresAtOnce()
    {
        QtAvahiPoll poll;
        TimeoutProbe probe;
        const timeval past = inMs(-5000);
        AvahiTimeout *t =
            poll.api()->timeout_new(poll.api(), &past, TimeoutProbe::callback, &probe);
        QTRY_COMPARE_WITH_TIMEOUT(probe.firedAt.size(), 1, 100);
        poll.api()->timeout_free(t);
    }

    void nullDisablesATimeout()
    {
        QtAvahiPoll poll;
        TimeoutProbe probe;
        AvahiTimeout *never =
            poll.api()->timeout_new(poll.api(), nullptr, TimeoutProbe::callback, &probe);
        const timeval soon = inMs(20);
        AvahiTimeout *cancelled =
            poll.api()->timeout_new(poll.api(), &soon, TimeoutProbe::callback, &probe);
        poll.api()->timeout_update(cancelled, nullptr);
        spin(80);
        QVERIFY(probe.firedAt.isEmpty());
        poll.api()->timeout_free(never);
        poll.api()->timeout_free(cancelled);
    }

    void timeoutRearmedFromOwnCallback()
    {
        QtAvahiPoll poll;
        TimeoutProbe probe;
        probe.api = poll.api();
        QList<timeval> dues;
        probe.then = [&](AvahiTimeout *t) {
            if (probe.firedAt.size() < 3) {
                dues.append(inMs(20));
                probe.api->timeout_update(t, &dues.last());
            }
        };
        dues.append(inMs(20));
        AvahiTimeout *t =
            poll.api()->timeout_new(poll.api(), &dues.first(), TimeoutProbe::callback, &probe);
        QTRY_COMPARE(probe.firedAt.size(), 3);
        for (int i = 0; i < 3; ++i)
            QVERIFY(notBefore(probe.firedAt.at(i), dues.at(i)));
        spin(60);
        QCOMPARE(probe.firedAt.size(), 3);
        poll.api()->timeout_free(t);
    }

    void timeoutFreedFromOwnCallback()
    {
        QtAvahiPoll poll;
        TimeoutProbe probe;
        probe.api = poll.api();
        probe.then = [&](AvahiTimeout *t) {
            probe.api->timeout_free(t);
            const timeval again = inMs(1);
            probe.api->timeout_update(t, &again); // ignored: it is dead
        };
        const timeval due = inMs(10);
        poll.api()->timeout_new(poll.api(), &due, TimeoutProbe::callback, &probe);
        QTRY_COMPARE(probe.firedAt.size(), 1);
        spin(50);
        QCOMPARE(probe.firedAt.size(), 1);
    }

    void adapterReleasesWhatTheEngineLeftBehind()
    {
        Pipe p;
        WatchProbe wp;
        TimeoutProbe tp;
        {
            QtAvahiPoll poll;
            const timeval due = inMs(10000);
            poll.api()->watch_new(poll.api(), p.readEnd(), AVAHI_WATCH_IN, WatchProbe::callback,
                                  &wp);
            poll.api()->timeout_new(poll.api(), &due, TimeoutProbe::callback, &tp);
        }
        p.put();
        spin(30);
        QVERIFY(wp.events.isEmpty()); // LeakSanitizer checks the rest
    }
};

QTEST_GUILESS_MAIN(tst_QtAvahiPoll)
#include "tst_qtavahipoll.moc"
