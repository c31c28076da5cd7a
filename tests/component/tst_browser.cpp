// The browser base, fed by hand the way an engine's callbacks feed it: what it reports
// when an engine goes away and browsing starts over, and that a failure of an engine
// that is away is no failure of the browser.

#include "avahi/browser_p.h"

#include <QSignalSpy>
#include <QtTest>

using namespace QZeroConfInternal;

namespace {

const AvahiIfIndex Eth0 = 2;

// An engine of nothing: resolvers are counters, and the test says what it sees.
class HandFedBrowser : public Browser
{
public:
    HandFedBrowser() : Browser("_printer._tcp", AVAHI_PROTO_UNSPEC) {}
    ~HandFedBrowser() override { dropResolvers(); }

    bool start(QString *) override { return true; }

    void found(const char *name, AvahiProtocol protocol = AVAHI_PROTO_INET)
    {
        browsed(Eth0, protocol, AVAHI_BROWSER_NEW, name, "_printer._tcp", "local");
    }
    void removed(const char *name)
    {
        browsed(Eth0, AVAHI_PROTO_INET, AVAHI_BROWSER_REMOVE, name, "_printer._tcp", "local");
    }
    void allForNow() { browsed(0, AVAHI_PROTO_UNSPEC, AVAHI_BROWSER_ALL_FOR_NOW, "", "", ""); }
    void engineFails() { browsed(0, AVAHI_PROTO_UNSPEC, AVAHI_BROWSER_FAILURE, "", "", ""); }
    void resolverFails()
    {
        resolvedBy(lastResolver, Eth0, AVAHI_RESOLVER_FAILURE, nullptr, nullptr, nullptr, nullptr,
                   nullptr, 0, nullptr);
    }
    void engineGoesAway()
    {
        alive = false;
        forgetResolvers();
    }

    bool alive = true;
    int liveResolvers = 0;
    Resolver *lastResolver = nullptr;

protected:
    void *newResolver(AvahiIfIndex, AvahiProtocol, const char *, const char *, const char *,
                      Resolver *r) override
    {
        ++liveResolvers;
        lastResolver = r;
        return r;
    }
    void freeResolver(void *) override { --liveResolvers; }
    QString engineError() const override { return QStringLiteral("it broke"); }
    bool engineAlive() const override { return alive; }
};

QStringList lostNames(const QSignalSpy &spy)
{
    QStringList names;
    for (const QList<QVariant> &args : spy)
        names << args.at(0).toString().section(QLatin1Char('\n'), 0, 0);
    names.sort();
    return names;
}

} // namespace

class tst_Browser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void whatIsNotFoundAgainIsLost()
    {
        HandFedBrowser b;
        QSignalSpy lost(&b, &Browser::lost);
        b.found("Kept");
        b.found("Gone");
        QCOMPARE(b.liveResolvers, 2);

        b.engineGoesAway();
        QCOMPARE(b.liveResolvers, 0);
        b.alive = true;
        b.found("Kept");
        b.allForNow();
        QTest::qWait(10);
        QCOMPARE(lostNames(lost), QStringList({"Gone"}));

        // Once the first look is done, nothing more is lost on its account.
        b.allForNow();
        QTest::qWait(10);
        QCOMPARE(lost.count(), 1);
    }

    void aBrowserThatTakesOverIsToldWhatWasFound()
    {
        HandFedBrowser old;
        old.found("Kept");
        old.found("Gone");
        HandFedBrowser next;
        next.expectAgain(old.sources());
        QSignalSpy lost(&next, &Browser::lost);
        next.found("Kept");
        next.allForNow();
        QTest::qWait(10);
        QCOMPARE(lostNames(lost), QStringList({"Gone"}));
    }

    void failuresOfAnEngineThatIsAwayAreNotReported()
    {
        HandFedBrowser b;
        QSignalSpy lost(&b, &Browser::lost);
        QSignalSpy failed(&b, &Browser::failed);
        b.found("Office");
        b.alive = false;
        b.resolverFails();
        b.engineFails();
        QTest::qWait(10);
        QCOMPARE(lost.count(), 0);
        QCOMPARE(failed.count(), 0);

        b.alive = true;
        b.resolverFails();
        b.engineFails();
        QTest::qWait(10);
        QCOMPARE(lost.count(), 1);
        QCOMPARE(failed.count(), 1);
    }

    void signalsComeFromTheEventLoop()
    {
        HandFedBrowser b;
        QSignalSpy lost(&b, &Browser::lost);
        b.found("Office");
        b.removed("Office");
        QCOMPARE(lost.count(), 0); // not from inside the engine's callback
        QVERIFY(lost.wait(1000));
        QCOMPARE(b.liveResolvers, 0);
    }
};

QTEST_GUILESS_MAIN(tst_Browser)
#include "tst_browser.moc"
