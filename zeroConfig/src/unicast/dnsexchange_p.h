#ifndef QZEROCONF_UNICAST_DNSEXCHANGE_P_H
#define QZEROCONF_UNICAST_DNSEXCHANGE_P_H

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

class QTcpSocket;
class QUdpSocket;

namespace QZeroConfInternal {
namespace Unicast {

// One message to one server and its answer, on the event loop: UDP with retransmissions,
// then TCP when the answer comes back truncated (RFC 1035 4.2.1, RFC 7766).
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
    bool isBusy() const { return m_deadline.isActive(); }

    // Blocks for at most timeoutMs. Only for the last message of a process that is about
    // to end (the records must be gone before it does); empty when nothing came back.
    static QByteArray exchangeNow(const QByteArray &wire, const QHostAddress &server, quint16 port,
                                  int timeoutMs);

Q_SIGNALS:
    void answered(const QByteArray &wire);
    void failed(const QString &reason);

private:
    Q_DISABLE_COPY(DnsExchange)
    void readUdp();
    void retransmit();
    void startTcp();
    void readTcp();
    void finish(const QByteArray &answer);

    QByteArray m_wire;
    QHostAddress m_server;
    quint16 m_port = 53;
    QUdpSocket *m_udp = nullptr;
    QTcpSocket *m_tcp = nullptr;
    QByteArray m_tcpBuffer;
    QTimer m_resend;
    QTimer m_deadline;
    int m_resendMs = 0;
};

} // namespace Unicast
} // namespace QZeroConfInternal

#endif
