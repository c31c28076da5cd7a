// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_ADDRESSWATCH_P_H
#define QZEROCONF_ADDRESSWATCH_P_H

#include <QHostAddress>
#include <QNetworkInterface>
#include <QObject>
#include <QTimer>
#include <QVector>

class QSocketNotifier;

namespace QZeroConfInternal {

struct LocalAddress
{
    int interfaceIndex = 0;
    QHostAddress address;

    bool operator==(const LocalAddress &o) const
    {
        return interfaceIndex == o.interfaceIndex && address == o.address;
    }
    bool operator!=(const LocalAddress &o) const { return !(*this == o); }
};

// This machine's addresses as an mDNS responder announces them: those of interfaces
// that are up, running and can multicast, loopback excluded; sorted, so that two
// readings compare equal when nothing changed.
QVector<LocalAddress> announceableAddresses();
// Whether mDNS runs on the interface: up, running, able to multicast, not loopback.
bool isMdnsInterface(const QNetworkInterface &interface);

// Tells when links or addresses may have changed, from the kernel's routing netlink
// messages. A burst of messages (a link coming up brings several) is one signal.
class AddressWatch : public QObject
{
    Q_OBJECT

public:
    explicit AddressWatch(QObject *parent = nullptr);
    ~AddressWatch() override;

    // False when the kernel refuses the netlink socket; then nothing is ever signalled.
    bool isWatching() const { return m_fd >= 0; }

Q_SIGNALS:
    void changed();

private:
    Q_DISABLE_COPY(AddressWatch)
    void drain();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer m_settle;
};

} // namespace QZeroConfInternal

#endif
