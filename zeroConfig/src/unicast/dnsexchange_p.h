// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_UNICAST_DNSEXCHANGE_P_H
#define QZEROCONF_UNICAST_DNSEXCHANGE_P_H

#include <QAbstractSocket>
#include <QByteArray>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

class QTcpSocket;
class QUdpSocket;

namespace QZeroConfInternal {
namespace Unicast {

// One message to one server and its answer, on the event loop: UDP with retransmissions,
// then TCP when the answer comes back truncated (RFC 1035 4.2.1, RFC 7766). Only an
// answer from the server, to our ID, whole and parseable, counts as the answer.
class DnsExchange : public QObject
{
    Q_OBJECT

public:
    explicit DnsExchange(QObject *parent = nullptr);
    ~DnsExchange() override;

    // Gives up (failed) after timeoutMs. A new send abandons the one before.
    void send(const QByteArray &wire, const QHostAddress &server, quint16 port,
              int timeoutMs = 3000);
    void abort();
    bool isBusy() const { return m_busy; }

    // Carries the exchange on without the event loop, answered or failed by the time it
    // returns, or still busy when `by` came first. For a process that is about to end;
    // the same checks as on the event loop.
    void finishBy(const QDeadlineTimer &by);

    // send() and finishBy() in one: the answer, or empty when none came within timeoutMs.
    static QByteArray exchangeNow(const QByteArray &wire, const QHostAddress &server, quint16 port,
                                  int timeoutMs);

Q_SIGNALS:
    void answered(const QByteArray &wire);
    // reason: "does not answer", "sent a malformed answer", or what befell the TCP
    // connection; said of the server.
    void failed(const QString &reason);

private:
    Q_DISABLE_COPY(DnsExchange)
    void readUdp();
    void retransmit();
    void startTcp();
    void readTcp();
    void tcpError(QAbstractSocket::SocketError error);
    // A message from the server: the answer, a stranger's (ignored), or malformed.
    bool take(const QByteArray &message);
    void finish(const QByteArray &answer);
    void fail(const QString &reason);

    QByteArray m_wire;
    QHostAddress m_server;
    quint16 m_port = 53;
    QUdpSocket *m_udp = nullptr;
    QTcpSocket *m_tcp = nullptr;
    QByteArray m_tcpBuffer;
    QTimer m_resend;
    QTimer m_deadline;
    // The timers' due times again, for finishBy(), where no timer fires.
    QDeadlineTimer m_resendDue;
    QDeadlineTimer m_deadlineDue;
    int m_resendMs = 0;
    bool m_busy = false;
};

} // namespace Unicast
} // namespace QZeroConfInternal

#endif
