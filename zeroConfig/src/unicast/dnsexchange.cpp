#include "dnsexchange_p.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtEndian>

#include <ldns/ldns.h>

namespace QZeroConfInternal {
namespace Unicast {

namespace {

constexpr int FirstResendMs = 400;

bool answers(const QByteArray &reply, const QByteArray &query)
{
    const auto *r = reinterpret_cast<const uint8_t *>(reply.constData());
    const auto *q = reinterpret_cast<const uint8_t *>(query.constData());
    return reply.size() >= LDNS_HEADER_SIZE && LDNS_QR_WIRE(r) &&
           LDNS_ID_WIRE(r) == LDNS_ID_WIRE(q);
}

bool truncated(const QByteArray &reply)
{
    return LDNS_TC_WIRE(reinterpret_cast<const uint8_t *>(reply.constData()));
}

// RFC 1035 4.2.2: over TCP each message is preceded by its length.
QByteArray framed(const QByteArray &wire)
{
    QByteArray out(2, '\0');
    qToBigEndian<quint16>(quint16(wire.size()), out.data());
    return out + wire;
}

// A whole framed message at the front of buffer, or nothing yet.
QByteArray takeFramed(QByteArray *buffer)
{
    if (buffer->size() < 2)
        return QByteArray();
    const int length = qFromBigEndian<quint16>(buffer->constData());
    if (buffer->size() < 2 + length)
        return QByteArray();
    const QByteArray message = buffer->mid(2, length);
    buffer->remove(0, 2 + length);
    return message;
}

} // namespace

DnsExchange::DnsExchange(QObject *parent) : QObject(parent)
{
    m_resend.setSingleShot(true);
    m_deadline.setSingleShot(true);
    connect(&m_resend, &QTimer::timeout, this, &DnsExchange::retransmit);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        abort();
        emit failed(QStringLiteral("no answer"));
    });
}

DnsExchange::~DnsExchange() = default;

void DnsExchange::send(const QByteArray &wire, const QHostAddress &server, quint16 port,
                       int timeoutMs)
{
    abort();
    m_wire = wire;
    m_server = server;
    m_port = port;
    m_udp = new QUdpSocket(this);
    connect(m_udp, &QUdpSocket::readyRead, this, &DnsExchange::readUdp);
    m_resendMs = FirstResendMs;
    m_deadline.start(timeoutMs);
    retransmit();
}

void DnsExchange::retransmit()
{
    // An unreachable network fails the write: the deadline reports it, not a tight loop.
    m_udp->writeDatagram(m_wire, m_server, m_port);
    m_resend.start(m_resendMs);
    m_resendMs *= 2;
}

void DnsExchange::readUdp()
{
    while (m_udp && m_udp->hasPendingDatagrams()) {
        const QNetworkDatagram d = m_udp->receiveDatagram();
        if (!d.senderAddress().isEqual(m_server, QHostAddress::TolerantConversion) ||
            !answers(d.data(), m_wire))
            continue;
        if (truncated(d.data())) {
            startTcp();
            return;
        }
        finish(d.data());
        return;
    }
}

void DnsExchange::startTcp()
{
    m_resend.stop();
    m_udp->deleteLater();
    m_udp = nullptr;
    m_tcp = new QTcpSocket(this);
    connect(m_tcp, &QTcpSocket::connected, this, [this] { m_tcp->write(framed(m_wire)); });
    connect(m_tcp, &QTcpSocket::readyRead, this, &DnsExchange::readTcp);
    m_tcp->connectToHost(m_server, m_port);
}

void DnsExchange::readTcp()
{
    m_tcpBuffer += m_tcp->readAll();
    const QByteArray message = takeFramed(&m_tcpBuffer);
    if (!message.isEmpty() && answers(message, m_wire))
        finish(message);
}

void DnsExchange::finish(const QByteArray &answer)
{
    abort();
    emit answered(answer);
}

void DnsExchange::abort()
{
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

QByteArray DnsExchange::exchangeNow(const QByteArray &wire, const QHostAddress &server,
                                    quint16 port, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    const auto left = [&] {
        return int(qMax<qint64>(0, timeoutMs - clock.elapsed()));
    };
    QUdpSocket udp;
    QByteArray reply;
    for (int attempt = 0; attempt < 3 && left() > 0 && reply.isEmpty(); ++attempt) {
        udp.writeDatagram(wire, server, port);
        const int wait = qMin(left(), FirstResendMs << attempt);
        QElapsedTimer slice;
        slice.start();
        while (reply.isEmpty() && slice.elapsed() < wait &&
               udp.waitForReadyRead(int(qMax<qint64>(1, wait - slice.elapsed())))) {
            while (udp.hasPendingDatagrams()) {
                const QByteArray d = udp.receiveDatagram().data();
                if (answers(d, wire))
                    reply = d;
            }
        }
    }
    if (reply.isEmpty() || !truncated(reply))
        return reply;
    QTcpSocket tcp;
    tcp.connectToHost(server, port);
    if (!tcp.waitForConnected(left()))
        return reply;
    tcp.write(framed(wire));
    QByteArray buffer;
    while (left() > 0 && tcp.waitForReadyRead(left())) {
        buffer += tcp.readAll();
        const QByteArray message = takeFramed(&buffer);
        if (!message.isEmpty())
            return message;
    }
    return reply;
}

} // namespace Unicast
} // namespace QZeroConfInternal
