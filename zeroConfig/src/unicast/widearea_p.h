// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_UNICAST_WIDEAREA_P_H
#define QZEROCONF_UNICAST_WIDEAREA_P_H

#include "../pacing_p.h"
#include "../publishrequest_p.h"
#include "../widearea_p.h"
#include "dnsmessage_p.h"

#include <QDeadlineTimer>
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
// current, and deletes them on withdraw(). Every fault is one warning line at most
// and never touches the mDNS side.
class WideAreaRegistration : public QObject
{
    Q_OBJECT

public:
    WideAreaRegistration(const PublishRequest &request, const WideAreaSettings &settings);
    ~WideAreaRegistration() override;

    void start();
    const Registration &registration() const { return m_reg; }
    // Where the lookups go instead of the resolver configuration's first name server.
    void useResolver(const QHostAddress &address, quint16 port);

    // Returns at once: the records are deleted in the background, on this thread's event
    // loop (or by finishRemovalsNow()), and the object deletes itself when that is done.
    void withdraw();
    // Carries the removal on without the event loop, until it is done or `by` comes.
    void finishBy(const QDeadlineTimer &by);

    // This machine's addresses that a host elsewhere can reach: no loopback, no link-local.
    static QList<QHostAddress> routableAddresses();

Q_SIGNALS:
    void registered();
    void removalDone();

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
    void removed(const Answer *a);

    PublishRequest m_request;
    WideAreaSettings m_settings;
    TsigKey m_key;
    Registration m_reg;
    QList<QByteArray> m_candidates; // dr._dns-sd._udp.<search domain>, then r.
    QHostAddress m_resolver;
    quint16 m_resolverPort = 53;
    QByteArray m_primary;
    QByteArray m_serverName;
    QHostAddress m_server;
    quint16 m_serverPort = 53;

    DnsExchange *m_exchange;
    Then m_then;
    QString m_failure; // why the last exchange got no answer
    Outgoing m_pending;
    QTimer m_retry;
    std::function<void()> m_retryStep;
    int m_backoffMs = 0;
    QTimer m_refresh;
    AddressWatch *m_watch = nullptr;

    int m_renames = 0;
    ConflictPacer m_pacer;
    bool m_sentUpdate = false; // records of ours may stand at the server
    bool m_registered = false;
    bool m_addressesDirty = false;
    bool m_stopped = false;
    bool m_warnedUnreachable = false;
};

// The removals of this thread still under way: they outlive the QZeroConf objects that
// started them. The event loop carries them on; a process that is about to end finishes
// them here, within one second for all of them together (a terminating signal, the
// application object going, the program's exit), and so does a QThread that ends.
void finishRemovalsNow();

} // namespace Unicast
} // namespace QZeroConfInternal

#endif
