// The registration against a small DNS server on loopback that is resolver, zone and
// update server at once, and answers each update with the next of `rcodes`.

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

namespace {

class FakeDns : public QObject
{
public:
    explicit FakeDns(QList<int> updateRcodes) : rcodes(updateRcodes)
    {
        socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
        connect(&socket, &QUdpSocket::readyRead, this, [this] {
            while (socket.hasPendingDatagrams())
                reply(socket.receiveDatagram());
        });
    }

    QList<int> rcodes;
    int updates = 0;
    QUdpSocket socket;

private:
    void reply(const QNetworkDatagram &d)
    {
        ldns_pkt *p = nullptr;
        ldns_wire2pkt(&p, reinterpret_cast<const uint8_t *>(d.data().constData()),
                      size_t(d.data().size()));
        ldns_pkt_set_qr(p, true);
        if (ldns_pkt_get_opcode(p) == LDNS_PACKET_UPDATE) {
            ldns_pkt_set_rcode(p, uint8_t(rcodes.value(updates++, rcodes.last())));
        } else {
            const ldns_rr *q = ldns_rr_list_rr(ldns_pkt_question(p), 0);
            char *name = ldns_rdf2str(ldns_rr_owner(q));
            const QByteArray owner(name);
            free(name);
            QByteArray rr = "@ 60 IN ";
            if (ldns_rr_get_type(q) == LDNS_RR_TYPE_SOA)
                rr += "SOA ns1.example.test. h.example.test. 1 3600 600 86400 60";
            else if (ldns_rr_get_type(q) == LDNS_RR_TYPE_A)
                rr += "A 127.0.0.1";
            else if (owner.startsWith("_dns-update"))
                rr += "SRV 0 0 " + QByteArray::number(socket.localPort()) + " ns1.example.test.";
            else
                rr += "SRV 0 0 631 other.example.test."; // the instance: another's
            // Relative to the question's name: ldns reads no owner of 61 escaped bytes.
            ldns_rr *answer = nullptr;
            ldns_rdf *origin = ldns_rdf_clone(ldns_rr_owner(q));
            ldns_rr_new_frm_str(&answer, rr.constData(), 0, origin, nullptr);
            ldns_rdf_deep_free(origin);
            ldns_pkt_push_rr(p, LDNS_SECTION_ANSWER, answer);
        }
        uint8_t *wire = nullptr;
        size_t size = 0;
        ldns_pkt2wire(&wire, p, &size);
        socket.writeDatagram(reinterpret_cast<const char *>(wire), qint64(size), d.senderAddress(),
                             quint16(d.senderPort()));
        free(wire);
        ldns_pkt_free(p);
    }
};

int warnings = 0;

void countWarnings(QtMsgType type, const QMessageLogContext &, const QString &)
{
    warnings += type == QtWarningMsg;
}

} // namespace

class TestWideArea : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<WideAreaRegistration> start(FakeDns &dns, const QByteArray &name,
                                                const QByteArray &host = "printer1")
    {
        PublishRequest request;
        request.name = name;
        request.type = "_printer._tcp";
        request.hostLabel = host;
        request.port = 5853;
        WideAreaSettings settings;
        settings.domain = "example.test";
        std::unique_ptr<WideAreaRegistration> r(new WideAreaRegistration(request, settings));
        r->useResolver(QHostAddress(QHostAddress::LocalHost), dns.socket.localPort());
        r->start();
        return r;
    }

private Q_SLOTS:
    void renamesArePacedWithOneWarning()
    {
        FakeDns dns({YxDomain});
        qInstallMessageHandler(countWarnings);
        const auto r = start(dns, "Office Printer");
        QTRY_VERIFY_WITH_TIMEOUT(dns.updates >= 15, 10000);
        // RFC 6762 section 9: the 15th conflict within 10 s holds the next try back 5 s.
        QTest::qWait(1000);
        qInstallMessageHandler(nullptr);
        QCOMPARE(dns.updates, 15);
        QCOMPARE(warnings, 1);
    }

    void longNamesAreCutOnACharacterBoundary()
    {
        FakeDns dns({YxDomain, NoError});
        const QByteArray name = "x" + QString(30, QChar(0xc4)).toUtf8(); // 61 bytes
        const auto r = start(dns, name);
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
        FakeDns dns({NoError});
        const auto r = start(dns, "Office Printer", QByteArray());
        QSignalSpy registered(r.get(), &WideAreaRegistration::registered);
        QVERIFY(registered.wait(5000));
        QCOMPARE(r->registration().target,
                 canonicalName(escapeLabel(systemHostLabel()) + ".example.test."));
    }
};

QTEST_GUILESS_MAIN(TestWideArea)
#include "tst_widearea.moc"
