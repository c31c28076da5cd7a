// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// How a browser's findings become services: one per instance whatever the interfaces and
// IP versions, added once, updated only on a real change, removed with the last source.

#include "servicetable_p.h"

#include <QtTest>

using namespace QZeroConfInternal;

namespace {

ResolvedService service(const QString &ip, quint16 port = 5853,
                        const QMap<QByteArray, QByteArray> &txt = {})
{
    ResolvedService s;
    s.name = QStringLiteral("Office Printer");
    s.type = QStringLiteral("_printer._tcp");
    s.domain = QStringLiteral("local");
    s.host = QStringLiteral("printer1.local");
    s.ip = QHostAddress(ip);
    s.port = port;
    s.txt = txt;
    return s;
}

const QString office = QStringLiteral("Office Printer\n_printer._tcp\nlocal");
const int eth0v4 = 4, eth0v6 = 5, wlan0v4 = 6;

} // namespace

class tst_ServiceTable : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void txtStringsBecomeAMap()
    {
        const auto map = txtMap(
            {"printer_name=HP", "flag", "empty=", "a=b=c", "", "=novalue", "printer_name=second"});
        QCOMPARE(map.value("printer_name"), QByteArray("HP")); // the first one wins
        QVERIFY(map.contains("flag"));
        QCOMPARE(map.value("flag"), QByteArray());
        QVERIFY(map.contains("empty"));
        QCOMPARE(map.value("a"), QByteArray("b=c"));
        QCOMPARE(map.size(), 4);
    }

    void oneInstanceOnManySourcesIsOneService()
    {
        ServiceTable table;
        QCOMPARE(table.resolved(office, eth0v6, service(QStringLiteral("fe80::1"))),
                 ServiceTable::Added);
        // A second source with its own address is no change of the service.
        QCOMPARE(table.resolved(office, eth0v4, service(QStringLiteral("10.0.0.1"))),
                 ServiceTable::None);
        QCOMPARE(table.current(office).ip, QHostAddress(QStringLiteral("fe80::1")));
        QCOMPARE(table.resolved(office, wlan0v4, service(QStringLiteral("10.1.0.1"))),
                 ServiceTable::None);
        QCOMPARE(table.resolved(office, eth0v4, service(QStringLiteral("10.0.0.9"))),
                 ServiceTable::None);
        // When the reporting source goes, the lowest one left takes over.
        QCOMPARE(table.lost(office, eth0v6), ServiceTable::Updated);
        QCOMPARE(table.current(office).ip, QHostAddress(QStringLiteral("10.0.0.9")));
        QCOMPARE(table.lost(office, wlan0v4), ServiceTable::None);
        // The source that took over reports from now on.
        QCOMPARE(table.resolved(office, eth0v4, service(QStringLiteral("10.0.0.10"))),
                 ServiceTable::Updated);
        QCOMPARE(table.current(office).ip, QHostAddress(QStringLiteral("10.0.0.10")));
    }

    void changesAreUpdates()
    {
        ServiceTable table;
        table.resolved(office, eth0v4, service(QStringLiteral("10.0.0.1")));
        QCOMPARE(table.resolved(office, eth0v4, service(QStringLiteral("10.0.0.1"), 631)),
                 ServiceTable::Updated);
        QCOMPARE(
            table.resolved(office, eth0v4, service(QStringLiteral("10.0.0.1"), 631, {{"k", "v"}})),
            ServiceTable::Updated);
        QCOMPARE(table.current(office).txt.value("k"), QByteArray("v"));
        QCOMPARE(
            table.resolved(office, eth0v4, service(QStringLiteral("10.0.0.2"), 631, {{"k", "v"}})),
            ServiceTable::Updated);
    }

    void removedWithTheLastSource()
    {
        ServiceTable table;
        table.resolved(office, eth0v4, service(QStringLiteral("10.0.0.1")));
        table.resolved(office, eth0v6, service(QStringLiteral("fe80::1")));
        QCOMPARE(table.lost(office, eth0v4), ServiceTable::Updated); // now reported over IPv6
        QCOMPARE(table.current(office).ip, QHostAddress(QStringLiteral("fe80::1")));
        QCOMPARE(table.lost(office, eth0v4), ServiceTable::None);
        QCOMPARE(table.lost(office, eth0v6), ServiceTable::Removed);
        QVERIFY(!table.contains(office));
        QCOMPARE(table.lost(office, eth0v6), ServiceTable::None);
    }

    void unresolvedSourcesReportNothing()
    {
        ServiceTable table;
        QCOMPARE(table.lost(office, eth0v4), ServiceTable::None);
        const QString other = QStringLiteral("Other\n_printer._tcp\nlocal");
        table.resolved(other, eth0v4, service(QStringLiteral("10.0.0.9")));
        QCOMPARE(table.lost(office, eth0v4), ServiceTable::None);
        QVERIFY(table.contains(other));
    }
};

QTEST_GUILESS_MAIN(tst_ServiceTable)
#include "tst_servicetable.moc"
