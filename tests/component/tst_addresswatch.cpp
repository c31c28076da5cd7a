// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// The address watch behind the address records of a host argument: which addresses
// count as announceable, and that a link's burst of changes is one signal.
//
// The cases move this process into a network namespace of its own (needs root) and
// make their links there with ip(8), so nothing outside is touched.

#include "addresswatch_p.h"
#include "runcommand.h"

#include <QSignalSpy>
#include <QtTest>

#include <sched.h>
#include <unistd.h>

using namespace QZeroConfInternal;

namespace {

bool ip(const QStringList &args)
{
    return runCommand("ip", args);
}

// A veth pair: a link that is running once both of its ends are up.
bool addLink(const QString &name)
{
    return ip({"link", "add", name, "type", "veth", "peer", "name", name + "p"}) &&
           ip({"link", "set", name + "p", "up"});
}

QStringList addressesOf(const QVector<LocalAddress> &list)
{
    QStringList result;
    for (const LocalAddress &a : list)
        result << a.address.toString();
    return result;
}

} // namespace

class tst_AddressWatch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0)
            QSKIP("needs root, for a network namespace of its own");
        QVERIFY(ip({"link", "set", "lo", "up"}));
    }

    void onlyUpRunningMulticastLinksCount()
    {
        // Loopback alone: nothing to announce.
        QVERIFY(announceableAddresses().isEmpty());

        QVERIFY(addLink(QStringLiteral("d0")));
        QVERIFY(ip({"addr", "add", "10.77.0.1/24", "dev", "d0"}));
        QVERIFY(announceableAddresses().isEmpty()); // down

        QVERIFY(ip({"link", "set", "d0", "up"}));
        // The kernel reports the carrier (IFF_RUNNING) a little after the link goes up.
        QTRY_VERIFY_WITH_TIMEOUT(
            addressesOf(announceableAddresses()).contains(QStringLiteral("10.77.0.1")), 3000);

        QVERIFY(ip({"link", "set", "d0", "multicast", "off"}));
        QVERIFY(!addressesOf(announceableAddresses()).contains(QStringLiteral("10.77.0.1")));
        QVERIFY(ip({"link", "del", "d0"}));
    }

    void readingsCompareEqualWhenNothingChanged()
    {
        QVERIFY(addLink(QStringLiteral("d1")));
        QVERIFY(ip({"link", "set", "d1", "multicast", "on", "up"}));
        // Added out of order: the reading is sorted all the same.
        QVERIFY(ip({"addr", "add", "10.77.1.9/24", "dev", "d1"}));
        QVERIFY(ip({"addr", "add", "10.77.1.2/24", "dev", "d1"}));
        QTRY_COMPARE_WITH_TIMEOUT(
            addressesOf(announceableAddresses()).filter(QStringLiteral("10.77.1.")).size(), 2,
            3000);
        const QVector<LocalAddress> first = announceableAddresses();
        QCOMPARE(announceableAddresses(), first);
        const QStringList v4 = addressesOf(first).filter(QStringLiteral("10.77.1."));
        QCOMPARE(v4, QStringList({"10.77.1.2", "10.77.1.9"}));
        QVERIFY(ip({"link", "del", "d1"}));
    }

    void aBurstOfChangesIsOneSignal()
    {
        AddressWatch watch;
        QVERIFY(watch.isWatching());
        QSignalSpy changed(&watch, &AddressWatch::changed);
        QVERIFY(addLink(QStringLiteral("d2")));
        QVERIFY(ip({"link", "set", "d2", "multicast", "on", "up"}));
        QVERIFY(ip({"addr", "add", "10.77.2.1/24", "dev", "d2"}));
        QVERIFY(changed.wait(2000));
        QTest::qWait(300);
        QCOMPARE(changed.count(), 1);

        // A change after the burst has settled is signalled again.
        QVERIFY(ip({"addr", "del", "10.77.2.1/24", "dev", "d2"}));
        QVERIFY(changed.wait(2000));
        QCOMPARE(changed.count(), 2);
        QVERIFY(ip({"link", "del", "d2"}));
    }
};

QTEST_GUILESS_MAIN(tst_AddressWatch)
#include "tst_addresswatch.moc"
