// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// One message, one answer: over UDP, over TCP after a truncated answer, and the bounds
// on waiting, against small servers on loopback.

#include "unicast/dnsexchange_p.h"
#include "unicast/dnsmessage_p.h"

#include <QtTest>

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <ldns/ldns.h>

#include <thread>

using namespace QZeroConfInternal::Unicast;

namespace {

// The query turned into its answer: QR set, and TC when asked to.
QByteArray answerTo(QByteArray query, bool truncated)
{
    auto *w = reinterpret_cast<uint8_t *>(query.data());
    LDNS_QR_SET(w);
    if (truncated)
        LDNS_TC_SET(w);
    return query;
}

} // namespace

class TestDnsExchange : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        QString error;
        query = buildQuery("_dns-update._udp.example.test.", LDNS_RR_TYPE_SRV, &error);
        // Fresh servers per case: each case connects lambdas over its own locals.
        udp.reset(new QUdpSocket);
        tcp.reset(new QTcpServer);
        QVERIFY(udp->bind(QHostAddress(QHostAddress::LocalHost), 0));
        QVERIFY(tcp->listen(QHostAddress::LocalHost, udp->localPort()));
    }
    void cleanup()
    {
        udp.reset();
        tcp.reset();
    }

    void udpAnswerAfterALostDatagram()
    {
        int seen = 0;
        connect(udp.get(), &QUdpSocket::readyRead, this, [&] {
            while (udp->hasPendingDatagrams()) {
                const QNetworkDatagram d = udp->receiveDatagram();
                // The first copy is "lost", a stranger's answer comes first, then ours.
                if (++seen == 1)
                    continue;
                QByteArray stranger = answerTo(d.data(), false);
                stranger[0] = char(stranger[0] ^ 0x55);
                udp->writeDatagram(stranger, d.senderAddress(), quint16(d.senderPort()));
                udp->writeDatagram(answerTo(d.data(), false), d.senderAddress(),
                                   quint16(d.senderPort()));
            }
        });
        DnsExchange exchange;
        QSignalSpy answered(&exchange, &DnsExchange::answered);
        exchange.send(query.wire, QHostAddress::LocalHost, udp->localPort());
        QVERIFY(answered.wait(3000));
        QCOMPARE(answered.size(), 1);
        QCOMPARE(answered[0][0].toByteArray(), answerTo(query.wire, false));
        QCOMPARE(seen, 2);
        QVERIFY(!exchange.isBusy());
    }

    void truncatedAnswerIsAskedAgainOverTcp()
    {
        connect(udp.get(), &QUdpSocket::readyRead, this, [&] {
            const QNetworkDatagram d = udp->receiveDatagram();
            udp->writeDatagram(answerTo(d.data(), true), d.senderAddress(),
                               quint16(d.senderPort()));
        });
        QByteArray received;
        connect(tcp.get(), &QTcpServer::newConnection, this, [&] {
            QTcpSocket *s = tcp->nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [&, s] {
                received += s->readAll();
                if (received.size() < 2 + query.wire.size())
                    return;
                const QByteArray answer = answerTo(query.wire, false) + QByteArray(600, 'x');
                const QByteArray framed = QByteArray(1, char(answer.size() >> 8)) +
                                          QByteArray(1, char(answer.size() & 0xff)) + answer;
                // In two pieces, as a stream may deliver it.
                s->write(framed.left(5));
                s->flush();
                QTimer::singleShot(50, s, [s, framed] { s->write(framed.mid(5)); });
            });
        });
        DnsExchange exchange;
        QSignalSpy answered(&exchange, &DnsExchange::answered);
        exchange.send(query.wire, QHostAddress::LocalHost, udp->localPort());
        QVERIFY(answered.wait(3000));
        QCOMPARE(received.mid(2), query.wire);
        QCOMPARE(answered[0][0].toByteArray().size(), query.wire.size() + 600);
    }

    void silenceFailsOnceAtTheDeadline()
    {
        DnsExchange exchange;
        QSignalSpy failed(&exchange, &DnsExchange::failed);
        QElapsedTimer clock;
        clock.start();
        exchange.send(query.wire, QHostAddress::LocalHost, udp->localPort(), 700);
        QVERIFY(failed.wait(3000));
        QVERIFY(clock.elapsed() >= 650);
        QTest::qWait(300);
        QCOMPARE(failed.size(), 1);
        // Retransmitted in between (400 ms), not in a tight loop.
        int copies = 0;
        while (udp->hasPendingDatagrams()) {
            udp->receiveDatagram();
            ++copies;
        }
        QCOMPARE(copies, 2);
    }

    void allWholeTcpMessagesOfOneSegmentAreRead()
    {
        answerTruncated();
        connect(tcp.get(), &QTcpServer::newConnection, this, [&] {
            QTcpSocket *s = tcp->nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [s, this] {
                QByteArray stale = answerTo(query.wire, false);
                stale[1] = char(stale[1] ^ 1);
                s->write(framed(stale) + framed(answerTo(query.wire, false)));
            });
        });
        DnsExchange exchange;
        QSignalSpy answered(&exchange, &DnsExchange::answered);
        exchange.send(query.wire, QHostAddress::LocalHost, udp->localPort(), 30000);
        QVERIFY(answered.wait(10000));
        QCOMPARE(answered[0][0].toByteArray(), answerTo(query.wire, false));
    }

    void refusedTcpConnectionFailsAtOnce()
    {
        answerTruncated();
        tcp->close();
        DnsExchange exchange;
        QSignalSpy failed(&exchange, &DnsExchange::failed);
        exchange.send(query.wire, QHostAddress::LocalHost, udp->localPort(), 30000);
        QVERIFY(failed.wait(10000)); // the deadline is 30 s away
        QCOMPARE(failed[0][0].toString(), QStringLiteral("refused the TCP connection"));
    }

    void unparseableAnswerIsMalformed()
    {
        // Our ID, an answer, and a question announced that never comes.
        answerWith([](const QByteArray &q) { return answerTo(q, false).left(12) + "\xff"; });
        DnsExchange exchange;
        QSignalSpy failed(&exchange, &DnsExchange::failed);
        exchange.send(query.wire, QHostAddress::LocalHost, udp->localPort(), 1000);
        QVERIFY(failed.wait(3000));
        QCOMPARE(failed[0][0].toString(), QStringLiteral("sent a malformed answer"));
    }

    void atTheEndOnlyTheServersWholeAnswerCounts()
    {
        // No event loop runs during exchangeNow(): the server answers from a thread.
        tcp->close();
        const quint16 port = udp->localPort();
        udp.reset();
        std::thread server([port] {
            QUdpSocket s, stranger;
            s.bind(QHostAddress(QHostAddress::LocalHost), port);
            stranger.bind(QHostAddress(QStringLiteral("127.0.0.2")), port);
            if (!s.waitForReadyRead(3000))
                return;
            const QNetworkDatagram d = s.receiveDatagram();
            const quint16 to = quint16(d.senderPort());
            stranger.writeDatagram(answerTo(d.data(), false), d.senderAddress(), to);
            s.writeDatagram(answerTo(d.data(), true), d.senderAddress(), to); // then TCP is refused
        });
        const QByteArray answer =
            DnsExchange::exchangeNow(query.wire, QHostAddress::LocalHost, port, 1000);
        server.join();
        QVERIFY2(answer.isEmpty(), answer.toHex().constData());
    }

    void waitingAtTheEndIsBounded()
    {
        QElapsedTimer clock;
        clock.start();
        QVERIFY(
            DnsExchange::exchangeNow(query.wire, QHostAddress::LocalHost, udp->localPort(), 1000)
                .isEmpty());
        QVERIFY2(clock.elapsed() < 1200, qPrintable(QString::number(clock.elapsed())));
    }

private:
    void answerWith(QByteArray (*answer)(const QByteArray &query))
    {
        connect(udp.get(), &QUdpSocket::readyRead, this, [this, answer] {
            const QNetworkDatagram d = udp->receiveDatagram();
            udp->writeDatagram(answer(d.data()), d.senderAddress(), quint16(d.senderPort()));
        });
    }
    void answerTruncated()
    {
        answerWith([](const QByteArray &q) { return answerTo(q, true); });
    }

    Outgoing query;
    std::unique_ptr<QUdpSocket> udp;
    std::unique_ptr<QTcpServer> tcp;
};

QTEST_GUILESS_MAIN(TestDnsExchange)
#include "tst_dnsexchange.moc"
