#ifndef QZEROCONF_UNICAST_WIDEAREA_P_H
#define QZEROCONF_UNICAST_WIDEAREA_P_H

#include "../publishrequest_p.h"
#include "../widearea_p.h"
#include "dnsmessage_p.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <functional>

namespace QZeroConfInternal {

class AddressWatch;

namespace Unicast {

class DnsExchange;

// Registers one service in the site's DNS (RFC 6763 section 11) beside the mDNS
// announcement: finds the registration domain, its zone and update server, claims the
// instance name with a signed DNS UPDATE, keeps the records fresh and the addresses
// current, and deletes them when destroyed. Every fault is one warning line at most
// and never touches the mDNS side.
class WideAreaRegistration : public QObject, public WideAreaPublication
{
    Q_OBJECT

public:
    WideAreaRegistration(const PublishRequest &request, const WideAreaSettings &settings,
                         QObject *parent = nullptr);
    // Deletes the records, waiting about a second at most for the server.
    ~WideAreaRegistration() override;

    void start();
    const Registration &registration() const { return m_reg; }

    // This machine's addresses that a host elsewhere can reach: no loopback, no link-local.
    static QList<QHostAddress> routableAddresses();

Q_SIGNALS:
    void registered();

private:
    Q_DISABLE_COPY(WideAreaRegistration)
    using Then = std::function<void(const Answer *)>;
    void ask(const QByteArray &name, int type, const QHostAddress &server, quint16 port, Then then);
    void exchange(const Outgoing &out, const QHostAddress &server, quint16 port, Then then);
    void later(std::function<void()> step);

    bool loadKey();
    void discover(int index);
    void findZone(const QByteArray &domain);
    void findServer();
    void resolveServer(const QByteArray &host, quint16 port);
    void update(UpdateKind kind);
    void updated(UpdateKind kind, const Answer *answer);
    void checkOwner();
    void addressesChanged();
    void giveUp(const QString &warning);

    PublishRequest m_request;
    WideAreaSettings m_settings;
    TsigKey m_key;
    Registration m_reg;
    QList<QByteArray> m_candidates; // dr._dns-sd._udp.<search domain>, then r.
    QHostAddress m_resolver;
    QByteArray m_primary;
    QByteArray m_serverName;
    QHostAddress m_server;
    quint16 m_serverPort = 53;

    DnsExchange *m_exchange;
    Then m_then;
    Outgoing m_pending;
    QTimer m_retry;
    std::function<void()> m_retryStep;
    int m_backoffMs = 0;
    QTimer m_refresh;
    AddressWatch *m_watch = nullptr;

    int m_renames = 0;
    bool m_sentUpdate = false; // records of ours may stand at the server
    bool m_registered = false;
    bool m_addressesDirty = false;
    bool m_stopped = false;
    bool m_warnedUnreachable = false;
};

} // namespace Unicast
} // namespace QZeroConfInternal

#endif
