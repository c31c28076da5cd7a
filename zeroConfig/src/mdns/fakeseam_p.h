// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_MDNS_FAKESEAM_P_H
#define QZEROCONF_MDNS_FAKESEAM_P_H

#include "seam_p.h"

// Time and datagrams by hand, for unit tests and the fuzz target: nothing runs until
// the test advances the clock or delivers a datagram.
namespace QZeroConfInternal::Mdns {

class FakeClock final : public Clock
{
public:
    qint64 now() const override { return m_now; }
    void wakeAt(qint64 at) override { m_wake = at; }

    // Moves time forward to `to`, waking the engine at each time it asked for on the way.
    void advanceTo(qint64 to)
    {
        while (m_wake >= 0 && m_wake <= to) {
            m_now = qMax(m_now, m_wake);
            m_wake = -1;
            woken();
        }
        m_now = qMax(m_now, to);
    }
    void advance(qint64 ms) { advanceTo(m_now + ms); }
    qint64 wake() const { return m_wake; }

private:
    qint64 m_now = 1000;
    qint64 m_wake = -1;
};

class FakeTransport final : public Transport
{
public:
    struct Sent
    {
        qint64 at;
        int interfaceIndex;
        QHostAddress to;
        quint16 port;
        QByteArray data;
    };

    explicit FakeTransport(const Clock &clock) : m_clock(clock) {}
    void setInterfaces(const QVector<Interface> &interfaces) override { joined = interfaces; }
    void send(int interfaceIndex, const QHostAddress &to, quint16 port,
              const QByteArray &data) override
    {
        sent.append(Sent{m_clock.now(), interfaceIndex, to, port, data});
    }
    void deliver(const QByteArray &data, const QHostAddress &source, int interfaceIndex = 1,
                 quint16 port = MdnsPort, int hopLimit = 255)
    {
        received(Datagram{data, source, interfaceIndex, port, hopLimit});
    }

    QVector<Interface> joined;
    QVector<Sent> sent;

private:
    const Clock &m_clock;
};

} // namespace QZeroConfInternal::Mdns

#endif
