// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "dnsexchange_p.h"

#include "dnsmessage_p.h"

#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>

#include <algorithm>

namespace QZeroConfInternal {
namespace Unicast {

namespace {

constexpr int FirstResendMs = 400;

int msLeft(const QDeadlineTimer &t)
{
    return int(qMax<qint64>(0, t.remainingTime()));
}

} // namespace

DnsExchange::DnsExchange(QObject *parent) : QObject(parent)
{
    m_resend.setSingleShot(true);
    m_deadline.setSingleShot(true);
    connect(&m_resend, &QTimer::timeout, this, &DnsExchange::retransmit);
    connect(&m_deadline, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("does not answer")); });
}

DnsExchange::~DnsExchange() = default;

void DnsExchange::send(const QByteArray &wire, const QHostAddress &server, quint16 port,
                       int timeoutMs)
{
    abort();
    m_wire = wire;
    m_server = server;
    m_port = port;
    m_busy = true;
    m_udp = new QUdpSocket(this);
    connect(m_udp, &QUdpSocket::readyRead, this, &DnsExchange::readUdp);
    m_resendMs = FirstResendMs;
    m_deadline.start(timeoutMs);
    m_deadlineDue.setRemainingTime(timeoutMs);
    retransmit();
}

void DnsExchange::retransmit()
{
    // An unreachable network fails the write: the deadline reports it, not a tight loop.
    m_udp->writeDatagram(m_wire, m_server, m_port);
    m_resend.start(m_resendMs);
    m_resendDue.setRemainingTime(m_resendMs);
    m_resendMs *= 2;
}

void DnsExchange::readUdp()
{
    while (m_udp && m_udp->hasPendingDatagrams()) {
        const QNetworkDatagram d = m_udp->receiveDatagram();
        if (d.senderAddress().isEqual(m_server, QHostAddress::TolerantConversion) &&
            d.senderPort() == m_port && take(d.data()))
            return;
    }
}

bool DnsExchange::take(const QByteArray &message)
{
    switch (classifyReply(message, m_wire)) {
    case Reply::Stranger:
        return false;
    case Reply::Malformed:
        fail(QStringLiteral("sent a malformed answer"));
        return true;
    case Reply::Truncated:
        if (m_tcp) // the whole answer cannot be had
            fail(QStringLiteral("sent a truncated answer over TCP"));
        else
            startTcp();
        return true;
    case Reply::Answer:
        finish(message);
        return true;
    }
    return false;
}

void DnsExchange::startTcp()
{
    m_resend.stop();
    m_resendDue = QDeadlineTimer(QDeadlineTimer::Forever);
    m_udp->disconnect(this);
    m_udp->deleteLater();
    m_udp = nullptr;
    m_tcp = new QTcpSocket(this);
    connect(m_tcp, &QTcpSocket::connected, this, [this] { m_tcp->write(framed(m_wire)); });
    connect(m_tcp, &QTcpSocket::readyRead, this, &DnsExchange::readTcp);
    // A refused or reset connection fails at once, into the caller's back-off.
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    connect(m_tcp, &QTcpSocket::errorOccurred, this, &DnsExchange::tcpError);
#else
    connect(m_tcp, QOverload<QAbstractSocket::SocketError>::of(&QAbstractSocket::error), this,
            &DnsExchange::tcpError);
#endif
    m_tcp->connectToHost(m_server, m_port);
}

void DnsExchange::readTcp()
{
    m_tcpBuffer += m_tcp->readAll();
    // One segment may carry several messages: a stale one before ours, say.
    QByteArray message;
    while (m_tcp && takeFramed(&m_tcpBuffer, &message)) {
        if (take(message))
            return;
    }
}

void DnsExchange::tcpError(QAbstractSocket::SocketError error)
{
    if (error == QAbstractSocket::ConnectionRefusedError)
        fail(QStringLiteral("refused the TCP connection"));
    else
        fail(QStringLiteral("broke off the TCP connection (%1)").arg(m_tcp->errorString()));
}

void DnsExchange::finish(const QByteArray &answer)
{
    abort();
    emit answered(answer);
}

void DnsExchange::fail(const QString &reason)
{
    abort();
    emit failed(reason);
}

void DnsExchange::abort()
{
    m_busy = false;
    m_resend.stop();
    m_deadline.stop();
    // Sockets may be inside their own signal here: let the event loop delete them.
    if (m_udp) {
        m_udp->disconnect(this);
        m_udp->deleteLater();
        m_udp = nullptr;
    }
    if (m_tcp) {
        m_tcp->disconnect(this);
        m_tcp->abort();
        m_tcp->deleteLater();
        m_tcp = nullptr;
    }
    m_tcpBuffer.clear();
}

void DnsExchange::finishBy(const QDeadlineTimer &by)
{
    // The sockets' own blocking waits emit the signals that the event loop would have,
    // so the same slots check what arrives; the timers' work is done here.
    while (m_busy && !by.hasExpired()) {
        if (m_deadlineDue.hasExpired()) {
            fail(QStringLiteral("does not answer"));
        } else if (m_tcp) {
            const int wait = qMin(msLeft(by), msLeft(m_deadlineDue));
            if (m_tcp->state() == QAbstractSocket::ConnectedState)
                m_tcp->waitForReadyRead(wait);
            else
                m_tcp->waitForConnected(wait);
        } else {
            const int wait = std::min({msLeft(by), msLeft(m_deadlineDue), msLeft(m_resendDue)});
            if (!m_udp->waitForReadyRead(wait) && m_busy && !m_tcp && m_resendDue.hasExpired())
                retransmit();
        }
    }
}

QByteArray DnsExchange::exchangeNow(const QByteArray &wire, const QHostAddress &server,
                                    quint16 port, int timeoutMs)
{
    DnsExchange exchange;
    QByteArray answer;
    connect(&exchange, &DnsExchange::answered, [&answer](const QByteArray &a) { answer = a; });
    exchange.send(wire, server, port, timeoutMs);
    exchange.finishBy(QDeadlineTimer(timeoutMs));
    return answer;
}

} // namespace Unicast
} // namespace QZeroConfInternal
