// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "addresswatch_p.h"

#include "logging_p.h"

#include <QNetworkInterface>
#include <QSocketNotifier>

#include <algorithm>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace QZeroConfInternal;

namespace {

// Long enough to take in a link's whole burst of messages, short against probing.
constexpr int SettleMs = 100;

} // namespace

bool QZeroConfInternal::isMdnsInterface(const QNetworkInterface &interface)
{
    const auto flags = interface.flags();
    return (flags & QNetworkInterface::IsUp) && (flags & QNetworkInterface::IsRunning) &&
           (flags & QNetworkInterface::CanMulticast) && !(flags & QNetworkInterface::IsLoopBack);
}

QVector<LocalAddress> QZeroConfInternal::announceableAddresses()
{
    QVector<LocalAddress> result;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &i : interfaces) {
        if (!isMdnsInterface(i))
            continue;
        const auto entries = i.addressEntries();
        for (const QNetworkAddressEntry &e : entries) {
            QHostAddress a = e.ip();
            if (a.protocol() != QAbstractSocket::IPv4Protocol &&
                a.protocol() != QAbstractSocket::IPv6Protocol)
                continue;
            a.setScopeId(QString()); // the interface index says where it belongs
            result.append(LocalAddress{i.index(), a});
        }
    }
    std::sort(result.begin(), result.end(), [](const LocalAddress &a, const LocalAddress &b) {
        if (a.interfaceIndex != b.interfaceIndex)
            return a.interfaceIndex < b.interfaceIndex;
        return a.address.toString() < b.address.toString();
    });
    return result;
}

AddressWatch::AddressWatch(QObject *parent) : QObject(parent)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(SettleMs);
    connect(&m_settle, &QTimer::timeout, this, &AddressWatch::changed);

    m_fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (m_fd < 0) {
        qCDebug(lcZeroConf) << "cannot watch addresses:" << qt_error_string(errno);
        return;
    }
    sockaddr_nl local = {};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        qCDebug(lcZeroConf) << "cannot watch addresses:" << qt_error_string(errno);
        close(m_fd);
        m_fd = -1;
        return;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &AddressWatch::drain);
}

AddressWatch::~AddressWatch()
{
    delete m_notifier;
    if (m_fd >= 0)
        close(m_fd);
}

void AddressWatch::drain()
{
    // What changed does not matter: the addresses are read afresh once it settles.
    char buffer[8192];
    while (recv(m_fd, buffer, sizeof buffer, 0) > 0) {
    }
    m_settle.start();
}
