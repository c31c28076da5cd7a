// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// DNS UPDATE building, TSIG signing and verification, answer parsing and key files,
// checked by reading the messages back with ldns.

#include "unicast/dnsmessage_p.h"

#include <QtTest>

#include <ldns/ldns.h>

using namespace QZeroConfInternal::Unicast;

namespace {

// Secrets as tsig-keygen makes them, one per algorithm.
const char Secret[] = "2vA8Kx1mNqR2mUQ7t1c0Lr3sWq9zYk5b0h4pJd6eFgA=";

QByteArray keyFile(const char *algorithm, const char *secret = Secret)
{
    return QByteArray("key \"site-key\" {\n\talgorithm ") + algorithm + ";\n\tsecret \"" + secret +
           "\";\n};\n";
}

struct Pkt
{
    explicit Pkt(const QByteArray &wire)
    {
        ldns_wire2pkt(&p, reinterpret_cast<const uint8_t *>(wire.constData()), size_t(wire.size()));
    }
    ~Pkt() { ldns_pkt_free(p); }
    Q_DISABLE_COPY(Pkt)
    ldns_pkt *p = nullptr;
};

// Each record of a section as "owner class type rdata" in presentation form; empty
// rdata reads "\\# 0" (RFC 3597).
QStringList lines(const ldns_rr_list *list, bool hasTtl = true)
{
    QStringList out;
    for (size_t i = 0; i < ldns_rr_list_rr_count(list); ++i) {
        char *s = ldns_rr2str(ldns_rr_list_rr(list, i));
        QString line = QString::fromUtf8(s).simplified();
        free(s);
        // Drop the TTL, the second field.
        QStringList f = line.split(QLatin1Char(' '));
        if (hasTtl)
            f.removeAt(1);
        out << f.join(QLatin1Char(' '));
    }
    return out;
}

Registration office()
{
    Registration r;
    r.zone = "example.test.";
    r.typeName = "_printer._tcp.example.test.";
    r.instance = canonicalName(escapeLabel("Büro. \"Drucker\"") + "._printer._tcp.example.test.");
    r.target = "printer1.example.test.";
    r.port = 5853;
    r.txt = {"printer_name=HP \"Laser\"", "secure=", "k\\v"};
    r.addresses = {QHostAddress(QStringLiteral("192.0.2.7")),
                   QHostAddress(QStringLiteral("2001:db8::7"))};
    return r;
}

TsigKey key(const char *algorithm = "hmac-sha256")
{
    TsigKey k;
    const QString why = parseTsigKey(keyFile(algorithm), &k);
    if (!why.isEmpty())
        qFatal("%s", qPrintable(why));
    return k;
}

} // namespace

class TestDnsMessage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keyFilesOfEveryAlgorithm_data()
    {
        QTest::addColumn<QByteArray>("algorithm");
        for (const char *a : {"hmac-sha224", "hmac-sha256", "hmac-sha384", "hmac-sha512"})
            QTest::newRow(a) << QByteArray(a);
    }
    void keyFilesOfEveryAlgorithm()
    {
        QFETCH(QByteArray, algorithm);
        TsigKey k;
        const QString why = parseTsigKey(keyFile(algorithm.constData()), &k);
        if (!why.isEmpty()) {
            // This ldns cannot sign with it (1.8.3: SHA-224 unknown, SHA-384 misspelt):
            // the key is refused up front, naming the algorithm, never at update time.
            QVERIFY2(why.contains(QString::fromLatin1(algorithm)), qPrintable(why));
            QVERIFY(why.contains(QStringLiteral("cannot sign")));
            QVERIFY(k.isNull());
            return;
        }
        QCOMPARE(k.name, QByteArray("site-key."));
        QCOMPARE(k.algorithm, algorithm + '.');
        // What is accepted signs, and the signature holds for that key only.
        QString error;
        const Outgoing out = buildUpdate(office(), UpdateKind::Claim, k, &error);
        QVERIFY2(!out.wire.isEmpty(), qPrintable(error));
        Pkt pkt(out.wire);
        const auto *wire = reinterpret_cast<const uint8_t *>(out.wire.constData());
        QVERIFY(ldns_pkt_tsig_verify(pkt.p, wire, size_t(out.wire.size()), "site-key.", Secret,
                                     nullptr));
        QVERIFY(!ldns_pkt_tsig_verify(pkt.p, wire, size_t(out.wire.size()), "site-key.",
                                      "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", nullptr));
    }

    void ldnsOfThisMachineSignsSha256AndSha512()
    {
        QVERIFY(!key("hmac-sha256").isNull());
        QVERIFY(!key("hmac-sha512").isNull());
    }

    void keyFileFormsAndFaults()
    {
        TsigKey k;
        // ddns-confgen's output: the key amid commented instructions.
        const QByteArray confgen = "# To activate this key, place the following in named.conf:\n"
                                   "# key \"wrong\" { algorithm hmac-md5; secret \"x\"; };\n" +
                                   keyFile("HMAC-SHA256") +
                                   "# update-policy { grant site-key; };\n";
        QCOMPARE(parseTsigKey(confgen, &k), QString());
        QCOMPARE(k.algorithm, QByteArray("hmac-sha256."));
        // Comment marks inside the quoted secret are base64, not comments.
        QCOMPARE(parseTsigKey(keyFile("hmac-sha256", "c2VjcmV0//8vLy8=") + "/* } */", &k),
                 QString());
        QCOMPARE(k.secret, QByteArray("c2VjcmV0//8vLy8="));
        QVERIFY(parseTsigKey(keyFile("hmac-md5"), &k).contains(QStringLiteral("hmac-md5")));
        QVERIFY(parseTsigKey(keyFile("hmac-sha256", "not base64!"), &k)
                    .contains(QStringLiteral("base64")));
        QVERIFY(!parseTsigKey("key \"k\" { algorithm hmac-sha256; };", &k).isEmpty());
        QVERIFY(!parseTsigKey("options { };", &k).isEmpty());
        // Never the secret in a message.
        QVERIFY(!parseTsigKey(keyFile("hmac-md5"), &k).contains(QString::fromLatin1(Secret)));
    }

    void keyFileOf16KiBAtMost_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("reason"); // empty: read
        QTest::newRow("16 KiB") << 16 * 1024 << QString();
        QTest::newRow("a byte more") << 16 * 1024 + 1 << QStringLiteral("larger than 16 KiB");
    }

    void keyFileOf16KiBAtMost()
    {
        QFETCH(int, size);
        QFETCH(QString, reason);
        QTemporaryFile file;
        QVERIFY(file.open());
        const QByteArray key = keyFile("hmac-sha256");
        file.write(key + '#' + QByteArray(size - key.size() - 2, 'x') + '\n');
        file.close();
        TsigKey k;
        bool othersMayRead = false;
        const QString why = readTsigKeyFile(file.fileName(), &k, &othersMayRead);
        QCOMPARE(why.isEmpty(), reason.isEmpty());
        QVERIFY2(why.contains(reason), qPrintable(why));
    }

    void claimHasThePrerequisiteTheRecordsAndTheLease()
    {
        QString error;
        const Registration r = office();
        const Outgoing out = buildUpdate(r, UpdateKind::Claim, key(), &error);
        Pkt pkt(out.wire);
        QCOMPARE(int(ldns_pkt_get_opcode(pkt.p)), int(LDNS_PACKET_UPDATE));
        QCOMPARE(lines(ldns_pkt_question(pkt.p), false),
                 QStringList{QStringLiteral("example.test. IN SOA")});
        const QString instance = QString::fromUtf8(r.instance);
        QCOMPARE(lines(ldns_pkt_answer(pkt.p)),
                 QStringList{instance + QStringLiteral(" NONE ANY \\# 0")});
        QCOMPARE(
            lines(ldns_pkt_authority(pkt.p)),
            (QStringList{
                QStringLiteral("_printer._tcp.example.test. IN PTR ") + instance,
                instance + QStringLiteral(" IN SRV 0 0 5853 printer1.example.test."),
                instance + QStringLiteral(
                               " IN TXT \"printer_name=HP \\\"Laser\\\"\" \"secure=\" \"k\\\\v\""),
                QStringLiteral("printer1.example.test. ANY A \\# 0"),
                QStringLiteral("printer1.example.test. ANY AAAA \\# 0"),
                QStringLiteral("printer1.example.test. IN A 192.0.2.7"),
                QStringLiteral("printer1.example.test. IN AAAA 2001:db8::7")}));
        // The instance label is the name's bytes exactly, dots, quotes and UTF-8 included.
        const ldns_rdf *owner = ldns_rr_owner(ldns_rr_list_rr(ldns_pkt_answer(pkt.p), 0));
        const QByteArray label(reinterpret_cast<const char *>(ldns_rdf_data(owner)) + 1,
                               ldns_rdf_data(owner)[0]);
        QCOMPARE(label, QByteArray("Büro. \"Drucker\""));
        // Update Lease, RFC 9664: option 2, four bytes of seconds.
        ldns_edns_option_list *options = ldns_pkt_edns_get_option_list(pkt.p);
        QVERIFY(options && ldns_edns_option_list_get_count(options) == 1);
        const ldns_edns_option *ul = ldns_edns_option_list_get_option(options, 0);
        QCOMPARE(int(ldns_edns_get_code(ul)), 2);
        QCOMPARE(ldns_edns_get_size(ul), size_t(4));
        QCOMPARE(qFromBigEndian<quint32>(ldns_edns_get_data(ul)), r.lease);
        QVERIFY(ldns_pkt_tsig(pkt.p));
    }

    void takeOverAndRemovalNeedOurOwnSrv()
    {
        QString error;
        const Registration r = office();
        const QString instance = QString::fromUtf8(r.instance);
        const QString ourSrv = instance + QStringLiteral(" IN SRV 0 0 5853 printer1.example.test.");
        Pkt takeOver(buildUpdate(r, UpdateKind::TakeOver, TsigKey(), &error).wire);
        QCOMPARE(lines(ldns_pkt_answer(takeOver.p)), QStringList{ourSrv});
        QCOMPARE(lines(ldns_pkt_authority(takeOver.p)).first(),
                 instance + QStringLiteral(" ANY ANY \\# 0"));
        QVERIFY(!ldns_pkt_tsig(takeOver.p)); // no key: unsigned, for servers that trust addresses

        Pkt removal(buildUpdate(r, UpdateKind::Remove, TsigKey(), &error).wire);
        QCOMPARE(lines(ldns_pkt_answer(removal.p)), QStringList{ourSrv});
        QCOMPARE(lines(ldns_pkt_authority(removal.p)),
                 (QStringList{instance + QStringLiteral(" ANY ANY \\# 0"),
                              QStringLiteral("_printer._tcp.example.test. NONE PTR ") + instance,
                              QStringLiteral("printer1.example.test. ANY A \\# 0"),
                              QStringLiteral("printer1.example.test. ANY AAAA \\# 0")}));
        QVERIFY(!ldns_pkt_edns_get_option_list(removal.p));
    }

    void signedAnswersAreVerifiedAndTsigErrorsRead()
    {
        QString error;
        const TsigKey k = key();
        const Outgoing out = buildUpdate(office(), UpdateKind::Claim, k, &error);
        // The server's answer: same ID, QR set, lease granted, signed over our MAC.
        const auto answer = [&](const char *secret, quint16 lease, quint16 tsigError) {
            Pkt reply(out.wire);
            ldns_pkt_set_qr(reply.p, true);
            ldns_rr_free(ldns_pkt_tsig(reply.p));
            ldns_pkt_set_tsig(reply.p, nullptr);
            quint32 l = qToBigEndian<quint32>(lease);
            ldns_edns_option_list *o = ldns_edns_option_list_new();
            ldns_edns_option_list_push(o, ldns_edns_new_from_data(LDNS_EDNS_UL, 4, &l));
            ldns_pkt_set_edns_option_list(reply.p, o);
            ldns_rdf *mac =
                ldns_rdf_new_frm_data(LDNS_RDF_TYPE_INT16_DATA, size_t(out.requestMac.size()),
                                      out.requestMac.constData());
            ldns_pkt_tsig_sign(reply.p, "site-key.", secret, 300, "hmac-sha256.", mac);
            ldns_rdf_deep_free(mac);
            if (tsigError) {
                ldns_rdf *e =
                    ldns_rr_set_rdf(ldns_pkt_tsig(reply.p),
                                    ldns_native2rdf_int16(LDNS_RDF_TYPE_INT16, tsigError), 5);
                ldns_rdf_deep_free(e);
            }
            uint8_t *w = nullptr;
            size_t n = 0;
            ldns_pkt2wire(&w, reply.p, &n);
            const QByteArray wire(reinterpret_cast<char *>(w), int(n));
            free(w);
            return wire;
        };
        Answer a;
        QVERIFY(parseAnswer(answer(Secret, 1800, 0), out, k, &a, &error));
        QVERIFY(a.verified);
        QCOMPARE(a.rcode, int(NoError));
        QCOMPARE(a.lease, quint32(1800));
        QVERIFY(parseAnswer(answer("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", 1800, 0), out, k,
                            &a, &error));
        QVERIFY(!a.verified);
        QVERIFY(parseAnswer(answer(Secret, 0, BadKey), out, k, &a, &error));
        QCOMPARE(rcodeName(a.rcode), QStringLiteral("BADKEY"));
        // Someone else's answer is no answer.
        Outgoing other = out;
        other.id ^= 1;
        QVERIFY(!parseAnswer(answer(Secret, 0, 0), other, k, &a, &error));
        QVERIFY(!parseAnswer("\x01\x02", out, k, &a, &error));
    }

    void resolverConfiguration()
    {
        const ResolverConfig c = canonicalResolverConfig(
            parseResolvConf("# comment\nnameserver 192.0.2.53\n"
                            "domain old.test\nsearch Site.Test. lab.test # x\n"
                            "nameserver 2001:db8::53\nnameserver bogus\n"
                            "options ndots:2\n"));
        QCOMPARE(c.search, (QList<QByteArray>{"Site.Test.", "lab.test."}));
        QCOMPARE(c.servers, (QList<QHostAddress>{QHostAddress(QStringLiteral("192.0.2.53")),
                                                 QHostAddress(QStringLiteral("2001:db8::53"))}));
        QVERIFY(parseResolvConf("nameserver 127.0.0.1\n").search.isEmpty());
        QVERIFY(sameName("Site.TEST", "site.test."));
        QVERIFY(!sameName("a.site.test.", "site.test."));
    }

    // A stream cut anywhere yields the whole messages before the cut and keeps the rest;
    // the first is longer than 255 bytes, so that both bytes of its length count.
    void framedMessagesAreTakenOnlyWhole()
    {
        const QByteArray first(300, 'a'), second("bc");
        const QByteArray stream =
            QByteArray("\x01\x2c", 2) + first + QByteArray("\0\x02", 2) + second;
        for (int cut = 0; cut <= stream.size(); ++cut) {
            QByteArray rest = stream.left(cut), message;
            QList<QByteArray> taken;
            while (takeFramed(&rest, &message))
                taken << message;
            const int used = cut == stream.size() ? cut : cut >= 302 ? 302 : 0;
            const int count = used == stream.size() ? 2 : used ? 1 : 0;
            QCOMPARE(taken, (QList<QByteArray>{first, second}.mid(0, count)));
            QCOMPARE(rest, stream.mid(used, cut - used));
        }
    }
};

QTEST_GUILESS_MAIN(TestDnsMessage)
#include "tst_dnsmessage.moc"
