// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_MDNS_SEAM_P_H
#define QZEROCONF_MDNS_SEAM_P_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QVector>

#include <functional>

class QUdpSocket;

// What the engine needs of the world: time and datagrams. The protocol code sees only
// these two interfaces, so that tests drive both by hand (fakeseam_p.h).
namespace QZeroConfInternal::Mdns {

constexpr quint16 MdnsPort = 5353;
const QHostAddress &mdnsGroup(bool ipv6);

class Clock
{
public:
    virtual ~Clock() = default;
    // Milliseconds on a monotonic clock: never steps back when the wall clock does.
    virtual qint64 now() const = 0;
    // Calls `woken` once, at `at` or soon after; replaces the request before. The engine
    // keeps its own schedule, so one wake-up at a time is all it asks.
    virtual void wakeAt(qint64 at) = 0;

    std::function<void()> woken;
};

struct Datagram
{
    QByteArray data;
    QHostAddress source;
    int interfaceIndex = 0;
    quint16 port = 0;
    int hopLimit = -1; // -1: not known
};

class Transport
{
public:
    virtual ~Transport() = default;
    // The interfaces to receive multicast on, with the IP versions they have addresses of.
    struct Interface
    {
        int index = 0;
        bool ipv4 = false;
        bool ipv6 = false;
    };
    virtual void setInterfaces(const QVector<Interface> &interfaces) = 0;
    virtual void send(int interfaceIndex, const QHostAddress &to, quint16 port,
                      const QByteArray &data) = 0;

    // Called for each datagram that arrives; may send from inside.
    std::function<void(const Datagram &)> received;
};

class QtClock final : public Clock
{
public:
    QtClock();
    qint64 now() const override { return m_elapsed.elapsed(); }
    void wakeAt(qint64 at) override;

private:
    QElapsedTimer m_elapsed;
    QTimer m_timer;
};

// Port 5353 shared with every other mDNS stack of the host (SO_REUSEADDR and
// SO_REUSEPORT, no root needed); one IPv4 and one IPv6 socket, joined to the groups on
// the chosen interfaces.
class UdpTransport final : public QObject, public Transport
{
    Q_OBJECT

public:
    UdpTransport();
    ~UdpTransport() override;

    // False, with the reason, when neither IP version can be used.
    bool open(QString *why);
    void setInterfaces(const QVector<Interface> &interfaces) override;
    void send(int interfaceIndex, const QHostAddress &to, quint16 port,
              const QByteArray &data) override;

private:
    void read(QUdpSocket *socket);

    QUdpSocket *m_sockets[2] = {nullptr, nullptr}; // IPv4, IPv6
    QVector<Interface> m_joined;
    int m_sendErrors = 0;
};

} // namespace QZeroConfInternal::Mdns

#endif
