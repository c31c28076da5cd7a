// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// What a publish request may contain, and the wire form it is put in.

#include "hostlabel_p.h"
#include "publishrequest_p.h"

#include <QtTest>

using namespace QZeroConfInternal;

namespace {

struct TxtEntry
{
    QString key;
    QString value;
    bool hasValue = true;
};

QString check(const QByteArray &name, const QByteArray &type, const QByteArray &host,
              const QList<TxtEntry> &txt = {}, PublishRequest *out = nullptr)
{
    TxtEntries entries;
    for (const TxtEntry &e : txt)
        entries.add(e.key, e.hasValue ? &e.value : nullptr);
    PublishRequest request;
    const QString error = makePublishRequest(name.constData(), type.constData(), host.constData(),
                                             5853, entries, &request);
    if (out)
        *out = request;
    return error;
}

TxtEntry entry(const QString &key, const QString &value)
{
    TxtEntry e;
    e.key = key;
    e.value = value;
    return e;
}

TxtEntry keyOnly(const QString &key)
{
    TxtEntry e;
    e.key = key;
    e.hasValue = false;
    return e;
}

} // namespace

class tst_PublishRequest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hostArgument_data()
    {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("label");
        QTest::newRow("empty: own name") << QByteArray("") << QByteArray("");
        QTest::newRow("local") << QByteArray("local") << QByteArray("");
        QTest::newRow("local.") << QByteArray("local.") << QByteArray("");
        QTest::newRow("LOCAL") << QByteArray("LOCAL") << QByteArray("");
        QTest::newRow("label") << QByteArray("printer") << QByteArray("printer");
        QTest::newRow("label.") << QByteArray("printer.") << QByteArray("printer");
        QTest::newRow("label.local") << QByteArray("printer.local") << QByteArray("printer");
        QTest::newRow("label.local.") << QByteArray("Printer-2.Local.") << QByteArray("Printer-2");
        QTest::newRow("utf-8 label") << QByteArray("drücker") << QByteArray("drücker");
        QTest::newRow("63 bytes") << QByteArray(63, 'h') << QByteArray(63, 'h');
    }

    void hostArgument()
    {
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, label);
        QString error;
        QCOMPARE(hostLabelFromArgument(host, &error), label);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void badHostArgument_data()
    {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QString>("reason");
        QTest::newRow("two labels") << QByteArray("a.b") << QStringLiteral("single label");
        QTest::newRow("two labels.local")
            << QByteArray("a.b.local") << QStringLiteral("single label");
        QTest::newRow("64 bytes") << QByteArray(64, 'h') << QStringLiteral("at most 63 bytes");
        QTest::newRow("escaped dot") << QByteArray("A\\.B") << QStringLiteral("single label");
        QTest::newRow("backslash") << QByteArray("A\\B") << QStringLiteral("backslash");
        QTest::newRow("control") << QByteArray("tab\there") << QStringLiteral("control character");
        QTest::newRow("latin-1") << QByteArray("dr\xfc"
                                               "cker")
                                 << QStringLiteral("UTF-8");
        QTest::newRow("dot only") << QByteArray(".") << QStringLiteral("empty label");
        QTest::newRow("dot local") << QByteArray(".local") << QStringLiteral("empty label");
    }

    void badHostArgument()
    {
        QFETCH(QByteArray, host);
        QFETCH(QString, reason);
        const QString error = check("Printer", "_printer._tcp", host);
        QVERIFY2(error.startsWith(QStringLiteral("host name")), qPrintable(error));
        QVERIFY2(error.contains(reason), qPrintable(error));
    }

    void instanceName_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("reason"); // empty: accepted
        QTest::newRow("spaces and dots")
            << QByteArray("Dr. Who's Printer (2nd floor)") << QString();
        QTest::newRow("63 bytes of UTF-8") << QString(21, QChar(0x20AC)).toUtf8() << QString();
        QTest::newRow("64 bytes of UTF-8")
            << (QString(21, QChar(0x20AC)) + QLatin1Char('x')).toUtf8()
            << QStringLiteral("64 bytes long in UTF-8; it may be at most 63 bytes");
        QTest::newRow("empty") << QByteArray() << QStringLiteral("empty");
        QTest::newRow("latin-1 bytes")
            << QByteArray("B\xfcro") << QStringLiteral("not valid UTF-8");
        // RFC 6763 section 4.1.1; the name is quoted on one line, the first fault named.
        const QString rule = QStringLiteral("; RFC 6763 section 4.1.1 allows none of 0x00-0x1F and "
                                            "0x7F in a name");
        QTest::newRow("newline") << QByteArray("Office\nPrinter")
                                 << QStringLiteral("instance name \"Office\\x0APrinter\" contains "
                                                   "a control character (0x0A)") +
                                        rule;
        QTest::newRow("tab") << QByteArray("Office\tPrinter\x01")
                             << QStringLiteral("\"Office\\x09Printer\\x01\" contains a control "
                                               "character (0x09)");
        QTest::newRow("DEL") << QByteArray("Office\x7f") << QStringLiteral("(0x7F)");
        QTest::newRow("0x1F") << QByteArray("\x1f") << QStringLiteral("(0x1F)");
        QTest::newRow("DEL in UTF-8 text")
            << QString::fromUtf8("B\xc3\xbcro\x7f").toUtf8() << QStringLiteral("(0x7F)");
    }

    void instanceName()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, reason);
        PublishRequest request;
        const QString error = check(name, "_printer._tcp", "", {}, &request);
        if (reason.isEmpty()) {
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QCOMPARE(request.name, name);
        } else {
            QVERIFY2(error.contains(reason), qPrintable(error));
        }
    }

    void serviceType_data()
    {
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QByteArray>("wire"); // empty: refused
        QTest::newRow("tcp") << QByteArray("_printer._tcp") << QByteArray("_printer._tcp");
        QTest::newRow("udp") << QByteArray("_ipp-2._udp") << QByteArray("_ipp-2._udp");
        QTest::newRow("with domain")
            << QByteArray("_printer._tcp.local.") << QByteArray("_printer._tcp");
        QTest::newRow("15 characters")
            << QByteArray("_abcdefghijklmno._tcp") << QByteArray("_abcdefghijklmno._tcp");
        QTest::newRow("16 characters") << QByteArray("_abcdefghijklmnop._tcp") << QByteArray();
        QTest::newRow("no underscore") << QByteArray("printer._tcp") << QByteArray();
        QTest::newRow("other protocol") << QByteArray("_printer._sctp") << QByteArray();
        QTest::newRow("no protocol") << QByteArray("_printer") << QByteArray();
        QTest::newRow("subtype") << QByteArray("_color._sub._printer._tcp") << QByteArray();
        QTest::newRow("leading hyphen") << QByteArray("_-printer._tcp") << QByteArray();
        QTest::newRow("double hyphen") << QByteArray("_a--b._tcp") << QByteArray();
        QTest::newRow("trailing hyphen") << QByteArray("_printer-._tcp") << QByteArray();
        QTest::newRow("digits only") << QByteArray("_1234._tcp") << QByteArray();
        QTest::newRow("non-ascii") << QByteArray("_drücker._tcp") << QByteArray();
        QTest::newRow("empty") << QByteArray() << QByteArray();
    }

    void serviceType()
    {
        QFETCH(QByteArray, type);
        QFETCH(QByteArray, wire);
        PublishRequest request;
        const QString error = check("Printer", type, "", {}, &request);
        if (wire.isEmpty()) {
            QVERIFY2(error.startsWith(QStringLiteral("service type")), qPrintable(error));
        } else {
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QCOMPARE(request.type, wire);
        }
    }

    void subtypesAndFurtherTypes()
    {
        PublishRequest r;
        QCOMPARE(makePublishRequest("P", "_ipp._tcp,_universal,_print", "", 631, {}, &r,
                                    {{"_printer._tcp,_x", 515}}),
                 QString());
        QCOMPARE(r.subtypes, (QList<QByteArray>{"_universal", "_print"}));
        QCOMPARE(r.allTypes().size(), 2);
        QCOMPARE(r.allTypes().last(), (ServiceType{"_printer._tcp", {"_x"}, 515}));
        const QByteArray longest(63, 's'); // a subtype is a label: 63 bytes at most
        QCOMPARE(makePublishRequest("P", "_ipp._tcp," + longest, "", 631, {}, &r), QString());
        QCOMPARE(r.subtypes, QList<QByteArray>{longest});
        for (const QByteArray &bad :
             {QByteArray("_ipp._tcp,"), QByteArray("_ipp._tcp,_a.b"),
              QByteArray("_ipp._tcp,") + QByteArray(64, 's'), QByteArray("_ipp._tcp,_a\\b"),
              QByteArray("_ipp._tcp,_a\tb"), QByteArray("_ipp._tcp,_x,_X")})
            QVERIFY2(
                makePublishRequest("P", bad, "", 631, {}, &r).startsWith(QStringLiteral("subtype")),
                bad.constData());
        QVERIFY(makePublishRequest("P", "_ipp._tcp", "", 631, {}, &r, {{"_IPP._tcp", 1}})
                    .contains(QStringLiteral("given twice")));
    }

    void txtKeepsOrderAndEmptyValues()
    {
        PublishRequest request;
        const QString error = check("Printer", "_printer._tcp", "",
                                    {entry(QStringLiteral("printer_name"), QStringLiteral("Büro")),
                                     entry(QStringLiteral("serial_number"), QString()),
                                     keyOnly(QStringLiteral("flag")),
                                     entry(QStringLiteral("secure"), QStringLiteral("a=b"))},
                                    &request);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(request.txt.strings(),
                 (QList<QByteArray>{QString::fromUtf8("printer_name=Büro").toUtf8(),
                                    "serial_number=", "flag", "secure=a=b"}));
        QCOMPARE(request.port, quint16(5853));
    }

    void txtLimits_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("reason"); // empty: accepted
        const QString key = QStringLiteral("printer_name");
        QTest::newRow("255 bytes") << key << QString(255 - 13, QLatin1Char('v')) << QString();
        QTest::newRow("256 bytes")
            << key << QString(256 - 13, QLatin1Char('v'))
            << QStringLiteral("is 256 bytes long; one entry may be at most 255 bytes");
        QTest::newRow("multibyte over")
            << key << QString(122, QChar(0xE9)) << QStringLiteral("is 257 bytes long");
        QTest::newRow("empty key") << QString() << QStringLiteral("v") << QStringLiteral("TXT key");
        QTest::newRow("= in key") << QStringLiteral("a=b") << QStringLiteral("v")
                                  << QStringLiteral("TXT key");
        QTest::newRow("non-ascii key")
            << QStringLiteral("schlüssel") << QStringLiteral("v") << QStringLiteral("TXT key");
    }

    void txtLimits()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, reason);
        PublishRequest request;
        const QString error = check("Printer", "_printer._tcp", "", {entry(key, value)}, &request);
        if (reason.isEmpty()) {
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QCOMPARE(request.txt.strings().first().size(), 255);
        } else {
            QVERIFY2(error.contains(reason), qPrintable(error));
        }
    }

    void txtRecordMustFitAPacket()
    {
        QList<TxtEntry> many;
        for (int i = 0; i < 40; ++i)
            many.append(entry(QStringLiteral("k%1").arg(i), QString(240, QLatin1Char('v'))));
        const QString error = check("Printer", "_printer._tcp", "", many);
        QVERIFY2(error.contains(QStringLiteral("at most 8900 bytes")), qPrintable(error));
        // 34 strings of 255 bytes and one of 195, each with its length byte: 8900 exactly.
        QList<TxtEntry> fits;
        for (int i = 10; i < 44; ++i)
            fits.append(entry(QStringLiteral("k%1").arg(i), QString(255 - 4, QLatin1Char('v'))));
        fits.append(entry(QStringLiteral("last"), QString(195 - 5, QLatin1Char('v'))));
        QCOMPARE(check("Printer", "_printer._tcp", "", fits), QString());
        fits.last().value += QLatin1Char('v');
        QVERIFY(check("Printer", "_printer._tcp", "", fits).contains(QStringLiteral("8901 bytes")));
    }

    void utf8_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::newRow("empty") << QByteArray() << true;
        QTest::newRow("ascii and nul") << QByteArray("a\0b", 3) << true;
        QTest::newRow("two bytes") << QByteArray("\xc3\xbc") << true;
        QTest::newRow("three bytes") << QByteArray("\xe2\x82\xac") << true;
        QTest::newRow("four bytes") << QByteArray("\xf0\x9f\x96\xa8") << true;
        QTest::newRow("highest code point") << QByteArray("\xf4\x8f\xbf\xbf") << true;
        QTest::newRow("noncharacter U+FFFE") << QByteArray("\xef\xbf\xbe") << true;
        QTest::newRow("byte order mark") << QByteArray("\xef\xbb\xbfx") << true;
        QTest::newRow("last before surrogates") << QByteArray("\xed\x9f\xbf") << true;
        QTest::newRow("first after surrogates") << QByteArray("\xee\x80\x80") << true;
        QTest::newRow("lone continuation") << QByteArray("a\x80") << false;
        QTest::newRow("latin-1") << QByteArray("B\xfcro") << false;
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << false;
        QTest::newRow("overlong nul") << QByteArray("\xc0\x80") << false;
        QTest::newRow("overlong three bytes") << QByteArray("\xe0\x9f\xbf") << false;
        QTest::newRow("overlong four bytes") << QByteArray("\xf0\x8f\xbf\xbf") << false;
        QTest::newRow("high surrogate") << QByteArray("\xed\xa0\x80") << false;
        QTest::newRow("low surrogate") << QByteArray("\xed\xbf\xbf") << false;
        QTest::newRow("above U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << false;
        QTest::newRow("five-byte lead") << QByteArray("\xf8\x88\x80\x80\x80") << false;
        QTest::newRow("0xff") << QByteArray("\xff") << false;
        QTest::newRow("cut after lead") << QByteArray("ab\xe2") << false;
        QTest::newRow("cut after two of three") << QByteArray("ab\xe2\x82") << false;
        QTest::newRow("cut after three of four") << QByteArray("\xf0\x9f\x96") << false;
        QTest::newRow("ascii where a continuation belongs") << QByteArray("\xe2\x82x") << false;
    }

    void utf8()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        QCOMPARE(isValidUtf8(bytes), valid);
    }

    // Short byte strings drawn around the sequence boundaries, checked against Qt's own
    // decoder: valid UTF-8 is exactly what comes back unchanged from a round trip.
    void utf8AgreesWithQtsDecoder()
    {
        QRandomGenerator random(9);
        const auto nextByte = [&random]() -> char {
            switch (random.bounded(4)) {
            case 0:
                return char(random.bounded(0x80));
            case 1:
                return char(0x80 + random.bounded(0x40));
            case 2:
                return char(0xc0 + random.bounded(0x40));
            default:
                return char(random.bounded(0x100));
            }
        };
        int valid = 0;
        for (int i = 0; i < 50000; ++i) {
            QByteArray bytes;
            const int length = 1 + random.bounded(6);
            for (int j = 0; j < length; ++j)
                bytes.append(nextByte());
            // With an explicit size: Qt 5 stops a QByteArray at its first NUL here.
            const bool expected =
                QString::fromUtf8(bytes.constData(), bytes.size()).toUtf8() == bytes;
            valid += expected;
            QVERIFY2(isValidUtf8(bytes) == expected, bytes.toHex(' ').constData());
        }
        // Both outcomes have to be well represented for the comparison to mean anything.
        QVERIFY2(valid > 2000 && valid < 48000, QByteArray::number(valid).constData());
    }

    void namesAfterAConflict_data()
    {
        QTest::addColumn<bool>("service");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("next");
        QTest::newRow("first") << true << QByteArray("Office") << QByteArray("Office #2");
        QTest::newRow("counted") << true << QByteArray("Office #9") << QByteArray("Office #10");
        QTest::newRow("not a counter")
            << true << QByteArray("Room #07") << QByteArray("Room #07 #2");
        QTest::newRow("host") << false << QByteArray("printer-2") << QByteArray("printer-3");
        QTest::newRow("host's own dash")
            << false << QByteArray("hp-laser") << QByteArray("hp-laser-2");
        // 63 bytes, a two-byte character where the cut falls: it goes whole.
        const QByteArray full = QByteArray(59, 'a') + "\xc3\xa9" + "bb";
        QTest::newRow("full label") << true << full << QByteArray(59, 'a') + " #2";
    }

    void namesAfterAConflict()
    {
        QFETCH(bool, service);
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, next);
        QCOMPARE(service ? nextServiceName(name) : nextHostLabel(name), next);
    }

    void nullArgumentsAreRefused()
    {
        PublishRequest request;
        QVERIFY(!makePublishRequest(nullptr, "_printer._tcp", "", 1, {}, &request).isEmpty());
        QVERIFY(!makePublishRequest("Printer", nullptr, "", 1, {}, &request).isEmpty());
        QVERIFY(makePublishRequest("Printer", "_printer._tcp", nullptr, 1, {}, &request).isEmpty());
        QCOMPARE(request.hostLabel, QByteArray());
    }
};

QTEST_GUILESS_MAIN(tst_PublishRequest)
#include "tst_publishrequest.moc"
