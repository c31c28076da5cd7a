// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// The wide-area browse against one small resolver on loopback that answers from `zone`,
// or with `fault` ("SERVFAIL", "REFUSED", "garbage") while that is set.

#include "unicast/widebrowse_p.h"

#include <QtTest>

#include <QNetworkDatagram>
#include <QUdpSocket>

#include <ldns/ldns.h>

using namespace QZeroConfInternal;
using namespace QZeroConfInternal::Unicast;

namespace {
int warnings = 0;
}

class TestWideBrowse : public QObject
{
    Q_OBJECT

private:
    QUdpSocket dns;
    QStringList zone; // "owner TTL IN TYPE RDATA", owners absolute
    QByteArray fault;
    int faults = 0;
    QList<ResolvedService> resolved;
    QStringList lost;

    void reply(const QNetworkDatagram &d)
    {
        ldns_pkt *p = nullptr;
        if (ldns_wire2pkt(&p, reinterpret_cast<const uint8_t *>(d.data().constData()),
                          size_t(d.data().size())) != LDNS_STATUS_OK)
            return;
        ldns_pkt_set_qr(p, true);
        const ldns_rr *q = ldns_rr_list_rr(ldns_pkt_question(p), 0);
        char *owner = ldns_rdf2str(ldns_rr_owner(q));
        const QString prefix = QString::fromUtf8(owner).toLower() + QLatin1Char(' ');
        free(owner);
        const QString type = QStringLiteral(" IN %1 ").arg(ldns_rr_type2str(ldns_rr_get_type(q)));
        for (const QString &line : qAsConst(zone)) {
            ldns_rr *rr = nullptr;
            if (line.toLower().startsWith(prefix) && line.contains(type) &&
                ldns_rr_new_frm_str(&rr, line.toUtf8().constData(), 0, nullptr, nullptr) ==
                    LDNS_STATUS_OK)
                ldns_pkt_push_rr(p, LDNS_SECTION_ANSWER, rr);
        }
        if (!fault.isEmpty())
            ++faults;
        ldns_pkt_set_rcode(p, fault == "SERVFAIL"  ? LDNS_RCODE_SERVFAIL
                              : fault == "REFUSED" ? LDNS_RCODE_REFUSED
                                                   : LDNS_RCODE_NOERROR);
        uint8_t *wire = nullptr;
        size_t size = 0;
        ldns_pkt2wire(&wire, p, &size);
        QByteArray out(reinterpret_cast<const char *>(wire), int(size));
        if (fault == "garbage")
            out.truncate(out.size() - 3); // our ID, cut short
        dns.writeDatagram(out, d.senderAddress(), quint16(d.senderPort()));
        free(wire);
        ldns_pkt_free(p);
    }

    std::unique_ptr<WideAreaBrowser> browse(const QByteArray &type)
    {
        WideAreaBrowseSink sink;
        sink.resolved = [this](const ResolvedService &s) {
            resolved.append(s);
        };
        sink.lost = [this](const QString &name, const QString &, const QString &) {
            lost.append(name);
        };
        WideAreaBrowseSettings settings;
        settings.domains = {"example.test"};
        std::unique_ptr<WideAreaBrowser> b(new WideAreaBrowser(type, AnyProtocol, settings, sink));
        b->useResolver(QHostAddress(QHostAddress::LocalHost), dns.localPort());
        b->useSearchDomains({});
        b->setTtlBounds(100, 100);
        b->start();
        return b;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dns.bind(QHostAddress(QHostAddress::LocalHost), 0));
        connect(&dns, &QUdpSocket::readyRead, this, [this] {
            while (dns.hasPendingDatagrams())
                reply(dns.receiveDatagram());
        });
        qInstallMessageHandler([](QtMsgType t, const QMessageLogContext &, const QString &) {
            warnings += t == QtWarningMsg;
        });
    }

    void init()
    {
        zone = QStringList{
            QStringLiteral(
                "_ipp._tcp.example.test. 60 IN PTR Office\\032Printer._ipp._tcp.example.test."),
            QStringLiteral(
                "Office\\032Printer._ipp._tcp.example.test. 60 IN SRV 0 0 631 p1.example.test."),
            QStringLiteral("Office\\032Printer._ipp._tcp.example.test. 60 IN TXT \"txtvers=1\" "
                           "\"rp=a b\" \"x\""),
            QStringLiteral("p1.example.test. 60 IN A 10.0.0.7"),
            QStringLiteral("p1.example.test. 60 IN AAAA 2001:db8::7")};
        fault.clear();
        faults = warnings = 0;
        resolved.clear();
        lost.clear();
    }

    void resolvesExactlyThenSeesChangesAndRemoval()
    {
        const auto b = browse("_ipp._tcp");
        QTRY_COMPARE(resolved.size(), 1);
        const ResolvedService s = resolved.first();
        QCOMPARE(s.name, QStringLiteral("Office Printer"));
        QCOMPARE(s.type, QStringLiteral("_ipp._tcp"));
        QCOMPARE(s.domain, QStringLiteral("example.test"));
        QCOMPARE(s.host, QStringLiteral("p1.example.test"));
        QCOMPARE(s.ip, QHostAddress(QStringLiteral("10.0.0.7")));
        QCOMPARE(s.port, quint16(631));
        QCOMPARE(s.txtStrings, (QList<QByteArray>{"txtvers=1", "rp=a b", "x"}));

        zone[2] =
            QStringLiteral("Office\\032Printer._ipp._tcp.example.test. 60 IN TXT \"txtvers=2\"");
        QTRY_COMPARE(resolved.size(), 2);
        QCOMPARE(resolved.last().txtStrings, QList<QByteArray>{"txtvers=2"});
        zone.removeFirst();
        QTRY_COMPARE(lost, QStringList{QStringLiteral("Office Printer")});
        QCOMPARE(resolved.size(), 2); // no repeat of what did not change
    }

    void faultsAreBackedOffToldOnceAndCounted_data()
    {
        QTest::addColumn<QByteArray>("kind");
        QTest::newRow("SERVFAIL") << QByteArray("SERVFAIL");
        QTest::newRow("REFUSED") << QByteArray("REFUSED");
        QTest::newRow("malformed") << QByteArray("garbage");
    }

    void faultsAreBackedOffToldOnceAndCounted()
    {
        QFETCH(QByteArray, kind);
        fault = kind;
        const auto b = browse("_ipp._tcp");
        // Back-off of 1 s, then 2 s: the third try comes 3 s after the first.
        QTRY_COMPARE_WITH_TIMEOUT(faults, 3, 5000);
        QTest::qWait(500);
        QCOMPARE(faults, 3);
        QCOMPARE(warnings, 1);
        fault.clear();
        QTRY_COMPARE_WITH_TIMEOUT(resolved.size(), 1, 6000);
        QCOMPARE(warnings, 2); // "answers again, after 3 faults"
    }
};

QTEST_GUILESS_MAIN(TestWideBrowse)
#include "tst_widebrowse.moc"
