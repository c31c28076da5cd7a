// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "seam_p.h"

#include "../logging_p.h"
#include "wire_p.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QUdpSocket>
#include <QVariant>

namespace QZeroConfInternal::Mdns {

namespace {

// Send errors (an interface that just went away) are logged a few times, not forever.
constexpr int LoggedSendErrors = 5;

} // namespace

const QHostAddress &mdnsGroup(bool ipv6)
{
    static const QHostAddress v4(QStringLiteral("224.0.0.251"));
    static const QHostAddress v6(QStringLiteral("ff02::fb"));
    return ipv6 ? v6 : v4;
}

QtClock::QtClock()
{
    m_elapsed.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer); // reply delays are tens of milliseconds
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        if (woken)
            woken();
    });
}

void QtClock::wakeAt(qint64 at)
{
    if (at < 0) {
        m_timer.stop();
        return;
    }
    m_timer.start(int(qBound(qint64(0), at - now(), qint64(24 * 3600 * 1000))));
}

UdpTransport::UdpTransport() = default;

UdpTransport::~UdpTransport()
{
    setInterfaces({});
}

bool UdpTransport::open(QString *why)
{
    QStringList errors;
    for (int v = 0; v < 2; ++v) {
        auto *socket = new QUdpSocket(this);
        const QHostAddress any = v ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4;
        if (!socket->bind(any, MdnsPort, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
            errors << QStringLiteral("IPv%1: %2").arg(v ? 6 : 4).arg(socket->errorString());
            delete socket;
            continue;
        }
        // RFC 6762 section 11: sent with hop limit 255, so that receivers can tell that
        // it comes from the link. Loopback on: other stacks of this host must hear us.
        socket->setSocketOption(QAbstractSocket::MulticastTtlOption, QVariant(255));
        socket->setSocketOption(QAbstractSocket::MulticastLoopbackOption, QVariant(1));
        connect(socket, &QUdpSocket::readyRead, this, [this, socket] { read(socket); });
        m_sockets[v] = socket;
    }
    if (!m_sockets[0] && !m_sockets[1]) {
        *why =
            QStringLiteral("cannot listen on port 5353: %1").arg(errors.join(QLatin1String("; ")));
        return false;
    }
    for (const QString &e : qAsConst(errors))
        qCInfo(lcZeroConfEngine, "mDNS without %s", qPrintable(e));
    return true;
}

void UdpTransport::setInterfaces(const QVector<Interface> &interfaces)
{
    auto has = [](const QVector<Interface> &list, int index, int v) {
        for (const Interface &i : list) {
            if (i.index == index)
                return v ? i.ipv6 : i.ipv4;
        }
        return false;
    };
    for (int v = 0; v < 2; ++v) {
        QUdpSocket *socket = m_sockets[v];
        if (!socket)
            continue;
        for (const Interface &i : qAsConst(m_joined)) {
            if (has(m_joined, i.index, v) && !has(interfaces, i.index, v))
                socket->leaveMulticastGroup(mdnsGroup(v),
                                            QNetworkInterface::interfaceFromIndex(i.index));
        }
        for (const Interface &i : interfaces) {
            if (!has(interfaces, i.index, v) || has(m_joined, i.index, v))
                continue;
            if (!socket->joinMulticastGroup(mdnsGroup(v),
                                            QNetworkInterface::interfaceFromIndex(i.index)))
                qCInfo(lcZeroConfEngine, "cannot join the mDNS group on interface %d: %s", i.index,
                       qPrintable(socket->errorString()));
        }
    }
    m_joined = interfaces;
}

void UdpTransport::send(int interfaceIndex, const QHostAddress &to, quint16 port,
                        const QByteArray &data)
{
    const bool v6 = to.protocol() == QAbstractSocket::IPv6Protocol;
    QUdpSocket *socket = m_sockets[v6];
    if (!socket)
        return;
    QHostAddress destination = to;
    if (v6 && (destination.isLinkLocal() || destination.isMulticast()))
        destination.setScopeId(QString::number(interfaceIndex));
    QNetworkDatagram d(data, destination, port);
    d.setInterfaceIndex(uint(interfaceIndex)); // the outgoing interface, by packet info
    d.setHopLimit(255);
    if (socket->writeDatagram(d) < 0 && m_sendErrors++ < LoggedSendErrors)
        qCInfo(lcZeroConfEngine, "cannot send to %s on interface %d: %s", qPrintable(to.toString()),
               interfaceIndex, qPrintable(socket->errorString()));
}

void UdpTransport::read(QUdpSocket *socket)
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram d = socket->receiveDatagram(MaxMessageSize);
        if (!d.isValid())
            break;
        Datagram in;
        in.data = d.data();
        in.source = d.senderAddress();
        in.source.setScopeId(QString());
        in.port = quint16(d.senderPort());
        in.interfaceIndex = int(d.interfaceIndex());
        in.hopLimit = d.hopLimit();
        if (received)
            received(in);
    }
}

} // namespace QZeroConfInternal::Mdns
