// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// The registration against one small server on loopback that is resolver, zone and
// update server at once, and answers the updates with `rcodes` in turn (the last one
// for good). The instance name always belongs to another host.

#include "hostlabel_p.h"
#include "unicast/widearea_p.h"

#include <QtTest>

#include <QNetworkDatagram>
#include <QUdpSocket>

#include <ldns/ldns.h>
#include <sched.h>
#include <unistd.h>

using namespace QZeroConfInternal;
using namespace QZeroConfInternal::Unicast;

class TestWideArea : public QObject
{
    Q_OBJECT

private:
    QUdpSocket dns;
    QList<int> rcodes;
    int updates = 0;

    void reply(const QNetworkDatagram &d)
    {
        ldns_pkt *p = nullptr;
        ldns_wire2pkt(&p, reinterpret_cast<const uint8_t *>(d.data().constData()),
                      size_t(d.data().size()));
        ldns_pkt_set_qr(p, true);
        const ldns_rr *q = ldns_rr_list_rr(ldns_pkt_question(p), 0);
        const int type = ldns_rr_get_type(q);
        QByteArray rr = "@ 60 IN "; // ldns reads no owner of 61 escaped bytes: "@" it is
        if (ldns_pkt_get_opcode(p) == LDNS_PACKET_UPDATE)
            ldns_pkt_set_rcode(p, uint8_t(rcodes.value(updates++, rcodes.last())));
        else if (type == LDNS_RR_TYPE_SOA)
            rr += "SOA ns1.example.test. h.example.test. 1 3600 600 86400 60";
        else if (type == LDNS_RR_TYPE_A)
            rr += "A 127.0.0.1";
        else if (ldns_rdf_data(ldns_rr_owner(q))[1] == '_') // _dns-update._udp
            rr += "SRV 0 0 " + QByteArray::number(dns.localPort()) + " ns1.example.test.";
        else
            rr += "SRV 0 0 631 other.example.test.";
        ldns_rr *answer = nullptr;
        ldns_rdf *origin = ldns_rdf_clone(ldns_rr_owner(q));
        if (ldns_pkt_get_opcode(p) != LDNS_PACKET_UPDATE &&
            ldns_rr_new_frm_str(&answer, rr.constData(), 0, origin, nullptr) == LDNS_STATUS_OK)
            ldns_pkt_push_rr(p, LDNS_SECTION_ANSWER, answer);
        ldns_rdf_deep_free(origin);
        uint8_t *wire = nullptr;
        size_t size = 0;
        ldns_pkt2wire(&wire, p, &size);
        dns.writeDatagram(reinterpret_cast<const char *>(wire), qint64(size), d.senderAddress(),
                          quint16(d.senderPort()));
        free(wire);
        ldns_pkt_free(p);
    }

    std::unique_ptr<WideAreaRegistration> start(const QByteArray &name, const QByteArray &host)
    {
        PublishRequest request{name, "_printer._tcp", host, 5853, {}, {}, {}, {}};
        WideAreaSettings settings{"example.test", QString()};
        std::unique_ptr<WideAreaRegistration> r(new WideAreaRegistration(request, settings));
        r->useResolver(QHostAddress(QHostAddress::LocalHost), dns.localPort());
        r->start();
        return r;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(dns.bind(QHostAddress(QHostAddress::LocalHost), 0));
        connect(&dns, &QUdpSocket::readyRead, this, [this] {
            while (dns.hasPendingDatagrams())
                reply(dns.receiveDatagram());
        });
    }
    void init() { updates = 0; }

    void renamesArePacedWithOneWarning()
    {
        static int warnings = 0;
        qInstallMessageHandler([](QtMsgType t, const QMessageLogContext &, const QString &) {
            warnings += t == QtWarningMsg;
        });
        rcodes = {YxDomain};
        const auto r = start("Office Printer", "printer1");
        QTRY_VERIFY_WITH_TIMEOUT(updates >= 15, 10000);
        // RFC 6762 section 9: the 15th conflict within 10 s holds the next try back 5 s.
        QTest::qWait(1000);
        qInstallMessageHandler(nullptr);
        QCOMPARE(updates, 15);
        QCOMPARE(warnings, 1);
    }

    void longNamesAreCutOnACharacterBoundary()
    {
        rcodes = {YxDomain, NoError};
        const auto r = start("x" + QString(30, QChar(0xc4)).toUtf8(), "printer1"); // 61 bytes
        QSignalSpy registered(r.get(), &WideAreaRegistration::registered);
        QVERIFY(registered.wait(5000));
        const QByteArray renamed = "x" + QString(29, QChar(0xc4)).toUtf8() + " #2";
        QCOMPARE(r->registration().instance,
                 canonicalName(escapeLabel(renamed) + "._printer._tcp.example.test."));
    }

    void theHostLabelIsTheOneMdnsAnnounces()
    {
        // "localhost" is where the two used to part ways.
        if (unshare(CLONE_NEWUTS) != 0 || sethostname("localhost", 9) != 0)
            QSKIP("needs root, for a UTS namespace of its own");
        rcodes = {NoError};
        const auto r = start("Office Printer", QByteArray());
        QSignalSpy registered(r.get(), &WideAreaRegistration::registered);
        QVERIFY(registered.wait(5000));
        QCOMPARE(r->registration().target,
                 canonicalName(escapeLabel(systemHostLabel()) + ".example.test."));
    }
};

QTEST_GUILESS_MAIN(TestWideArea)
#include "tst_widearea.moc"
