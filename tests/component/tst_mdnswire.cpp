// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// The mDNS codec: what it writes reads back the same, compressed; whatever is out of
// bounds anywhere drops the packet whole.

#include "mdns/wire_p.h"

#include <QtTest>

using namespace QZeroConfInternal::Mdns;

namespace {

QByteArray header(int qd, int an, int ns = 0, int ar = 0)
{
    const char h[12] = {0, 0, 0, 0, 0, char(qd), 0, char(an), 0, char(ns), 0, char(ar)};
    return QByteArray(h, 12);
}

// An answer's fixed part after its name: type, class IN, TTL 120, rdlength.
QByteArray fixed(quint16 type, int rdlength)
{
    const char f[10] = {char(type >> 8),     char(type),    0, 1, 0, 0, 0, 120,
                        char(rdlength >> 8), char(rdlength)};
    return QByteArray(f, 10);
}

const QByteArray host = nameFromDotted("printer.local");
const QByteArray q = QByteArray::fromHex("0000ff0001"); // root, ANY, IN

Record record(const QByteArray &name, quint16 type, const QByteArray &rdata, bool flush)
{
    Record r;
    r.name = name;
    r.type = type;
    r.rdata = rdata;
    r.ttl = 4500;
    r.cacheFlush = flush;
    return r;
}

} // namespace

class tst_MdnsWire : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writtenReadsBackCompressed()
    {
        const QByteArray type = nameFromDotted("_ipp._tcp.local");
        const QByteArray instance = prependLabel("Office Printer. 2nd", type);
        const QVector<Record> records = {
            record(type, TypePTR, ptrData(instance), false),
            record(instance, TypeSRV, srvData(0, 0, 631, host), true),
            record(instance, TypeTXT, txtData({"rp=ipp/print", "note="}), true),
            record(host, TypeA, addressData(QHostAddress(QStringLiteral("10.0.0.7"))), true),
            record(host, TypeAAAA, addressData(QHostAddress(QStringLiteral("fe80::1"))), true),
            record(host, TypeNSEC, nsecData(host, {TypeA, TypeAAAA}), true),
        };
        MessageWriter w(7, FlagResponse | FlagAuthoritative);
        QVERIFY(w.add(Question{type, TypePTR, ClassIN, true}));
        int plain = 12 + type.size() + 4;
        for (const Record &r : records) {
            QVERIFY(w.add(r.type == TypeNSEC ? Section::Additional : Section::Answer, r));
            plain += r.name.size() + 10 + r.rdata.size();
        }
        QVERIFY(w.size() < plain - 60); // names after the first went out as pointers

        Message m;
        QVERIFY(parseMessage(w.message(), &m));
        QCOMPARE(m.id, quint16(7));
        QVERIFY(m.isResponse());
        QCOMPARE(m.questions.size(), 1);
        QVERIFY(m.questions[0].unicastResponse);
        QCOMPARE(m.questions[0].qclass, ClassIN);
        QCOMPARE(m.answers.size() + m.additionals.size(), records.size());
        for (int i = 0; i < records.size(); ++i) {
            const Record &got = i < 5 ? m.answers[i] : m.additionals[0];
            QVERIFY2(got.sameData(records[i]), qPrintable(QString::number(i)));
            QCOMPARE(got.cacheFlush, records[i].cacheFlush);
            QCOMPARE(got.ttl, records[i].ttl);
        }
        QCOMPARE(nsecTypes(m.additionals[0].rdata), (QVector<quint16>{TypeA, TypeAAAA}));
        QCOMPARE(nameToString(m.answers[0].rdata),
                 QStringLiteral("Office Printer. 2nd._ipp._tcp.local."));
    }

    void malformedIsDroppedWhole_data()
    {
        QTest::addColumn<QByteArray>("packet");
        const QByteArray label = QByteArray(1, '\x03') + "abc";
        QTest::newRow("header cut short") << header(0, 0).left(11);
        QTest::newRow("question counted, absent") << header(1, 0);
        QTest::newRow("label past the end") << header(1, 0) + "\x05"
                                                              "ab";
        QTest::newRow("extended label type") << header(1, 0) +
                                                    "\x41"
                                                    "a" +
                                                    q;
        QTest::newRow("pointer forward") << header(1, 0) + QByteArray::fromHex("c00e00") + q;
        QTest::newRow("pointer to its own name")
            << header(1, 0) + label + QByteArray::fromHex("c00c") + q.mid(1);
        QTest::newRow("pointer past the end") << header(1, 0) + QByteArray::fromHex("c0");
        const QByteArray longLabel = QByteArray(1, '\x3f') + QByteArray(63, 'a');
        QTest::newRow("name over 255 bytes") << header(1, 0) + longLabel.repeated(4) + q;
        QTest::newRow("rdata past the end") << header(0, 1) + host + fixed(TypeA, 8) + "\x0a";
        QTest::newRow("A of 5 bytes")
            << header(0, 1) + host + fixed(TypeA, 5) + QByteArray::fromHex("0a00000701");
        QTest::newRow("PTR with bytes after its name")
            << header(0, 1) + host + fixed(TypePTR, host.size() + 1) + host + "x";
        QTest::newRow("SRV name past its rdata")
            << header(0, 1) + host + fixed(TypeSRV, 8) + QByteArray(6, '\0') + host;
        QTest::newRow("TXT string past its rdata") << header(0, 1) + host + fixed(TypeTXT, 3) +
                                                          "\x05"
                                                          "ab";
        QTest::newRow("NSEC bitmap of 33 bytes")
            << header(0, 1) + host + fixed(TypeNSEC, 1 + 2 + 33) + QByteArray(1, '\0') +
                   QByteArray::fromHex("0021") + QByteArray(33, '\x40');
        QTest::newRow("NSEC window past its rdata")
            << header(0, 1) + host + fixed(TypeNSEC, 1 + 4) + QByteArray(1, '\0') +
                   QByteArray::fromHex("00044000");
        QTest::newRow("more records counted than held")
            << header(0, 0xff) + host + fixed(TypeA, 4) + "abcd";
        QTest::newRow("trailing bytes") << header(0, 1) + host + fixed(TypeA, 4) + "abcd" + "x";
    }

    void malformedIsDroppedWhole()
    {
        QFETCH(QByteArray, packet);
        Message m;
        m.id = 99;
        m.answers.append(Record());
        QVERIFY(!parseMessage(packet, &m));
        QCOMPARE(m.id, quint16(99));
        QCOMPARE(m.answers.size(), 1);
        QVERIFY(m.questions.isEmpty());
    }

    void emptyNsecWindowIsRead()
    {
        // As a common stack sends it: an empty window 0 before the real one.
        const QByteArray bitmaps = QByteArray::fromHex("0000000400000008");
        Message m;
        QVERIFY(parseMessage(header(0, 1) + host + fixed(TypeNSEC, 2 + 8) +
                                 QByteArray::fromHex("c00c") + bitmaps,
                             &m));
        QCOMPARE(nsecTypes(m.answers[0].rdata), QVector<quint16>{TypeAAAA});
    }

    void refusedItemLeavesNoTrace()
    {
        // A record that does not fit is taken back with the names it registered for
        // compression: a later name must not point into bytes that were cut off.
        MessageWriter w(0, FlagResponse, 100);
        const QByteArray a = nameFromDotted("a.local");
        QVERIFY(w.add(Section::Answer, record(a, TypeA, "abcd", true)));
        const QByteArray before = w.message();
        const QByteArray longName = nameFromDotted("long.service.example.local");
        QVERIFY(!w.add(Section::Answer, record(longName, TypeTXT, QByteArray(80, 'x'), true)));
        QCOMPARE(w.message(), before);
        QVERIFY(
            w.add(Section::Answer, record(nameFromDotted("example.local"), TypeA, "efgh", true)));
        Message m;
        QVERIFY(parseMessage(w.message(), &m));
        QCOMPARE(m.answers.size(), 2);
        QCOMPARE(nameToString(m.answers[1].name), QStringLiteral("example.local."));
    }

    void reverseNames_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("name");
        QTest::newRow("IPv4") << "10.1.2.3"
                              << "3.2.1.10.in-addr.arpa.";
        QTest::newRow("IPv6")
            << "2001:db8::1"
            << "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa.";
    }

    void reverseNames()
    {
        QFETCH(QString, address);
        QFETCH(QString, name);
        QCOMPARE(nameToString(reverseName(QHostAddress(address))), name);
    }
};

QTEST_APPLESS_MAIN(tst_MdnsWire)
#include "tst_mdnswire.moc"
