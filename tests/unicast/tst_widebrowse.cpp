// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// The wide-area browse against one small resolver on loopback that answers from `zone`,
// or with the rcode `fault` while that is set. Servers that misbehave otherwise, and what
// the browse finds in a real zone, are the end-to-end tests' (test_widearea.py).

#include "unicast/widebrowse_p.h"

#include <QtTest>

#include <QNetworkDatagram>
#include <QUdpSocket>

#include <ldns/ldns.h>

using namespace QZeroConfInternal;
using namespace QZeroConfInternal::Unicast;

static int warnings = 0;

class TestWideBrowse : public QObject
{
    Q_OBJECT

private:
    QUdpSocket dns;
    const QStringList zone = QString::fromLatin1(R"(
_ipp._tcp.example.test. 60 IN PTR Office\032Printer._ipp._tcp.example.test.
Office\032Printer._ipp._tcp.example.test. 60 IN SRV 0 0 631 p1.example.test.
Office\032Printer._ipp._tcp.example.test. 60 IN TXT "txtvers=1" "rp=a b" "x"
p1.example.test. 60 IN A 10.0.0.7
p1.example.test. 60 IN AAAA 2001:db8::7)")
                                 .split(QLatin1Char('\n'));
    int fault = 0, faults = 0;
    QList<ResolvedService> resolved;

    void reply(const QNetworkDatagram &d)
    {
        ldns_pkt *p = nullptr;
        if (ldns_wire2pkt(&p, reinterpret_cast<const uint8_t *>(d.data().constData()),
                          size_t(d.data().size())) != LDNS_STATUS_OK)
            return;
        ldns_pkt_set_qr(p, true);
        const ldns_rr *q = ldns_rr_list_rr(ldns_pkt_question(p), 0);
        for (const QString &line : zone) {
            ldns_rr *rr = nullptr;
            ldns_rr_new_frm_str(&rr, line.toUtf8().constData(), 0, nullptr, nullptr);
            if (rr && ldns_rr_get_type(rr) == ldns_rr_get_type(q) &&
                ldns_dname_compare(ldns_rr_owner(rr), ldns_rr_owner(q)) == 0)
                ldns_pkt_push_rr(p, LDNS_SECTION_ANSWER, rr);
            else if (rr)
                ldns_rr_free(rr);
        }
        faults += fault != 0;
        ldns_pkt_set_rcode(p, uint8_t(fault));
        uint8_t *wire = nullptr;
        size_t size = 0;
        ldns_pkt2wire(&wire, p, &size);
        dns.writeDatagram(reinterpret_cast<const char *>(wire), qint64(size), d.senderAddress(),
                          quint16(d.senderPort()));
        free(wire);
        ldns_pkt_free(p);
    }

    std::unique_ptr<WideAreaBrowser> browse()
    {
        WideAreaBrowseSink sink;
        sink.resolved = [this](const ResolvedService &s) {
            resolved.append(s);
        };
        sink.lost = [](auto &&...) {
        };
        WideAreaBrowseSettings settings;
        settings.domains = {"example.test"};
        std::unique_ptr<WideAreaBrowser> b(
            new WideAreaBrowser("_ipp._tcp", AnyProtocol, settings, sink));
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
        fault = faults = warnings = 0;
        resolved.clear();
    }

    void resolvesWithTheTxtStringsInOrder()
    {
        const auto b = browse();
        QTRY_COMPARE(resolved.size(), 1);
        QCOMPARE(resolved.first().txtStrings, (QList<QByteArray>{"txtvers=1", "rp=a b", "x"}));
        QTest::qWait(300); // asked again twice: nothing changed, nothing is told again
        QCOMPARE(resolved.size(), 1);
    }

    void faultsAreBackedOffToldOnceAndCounted()
    {
        fault = Refused;
        const auto b = browse();
        // Back-off of 1 s, then 2 s: the third try comes 3 s after the first.
        QTRY_COMPARE_WITH_TIMEOUT(faults, 3, 5000);
        QTest::qWait(500);
        QCOMPARE(faults, 3);
        QCOMPARE(warnings, 1);
        fault = 0;
        QTRY_COMPARE_WITH_TIMEOUT(resolved.size(), 1, 6000);
        QTRY_COMPARE(warnings, 2); // "answers again, after 3 faults", told as it resolves
    }
};

QTEST_GUILESS_MAIN(TestWideBrowse)
#include "tst_widebrowse.moc"
