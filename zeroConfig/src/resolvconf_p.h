// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_RESOLVCONF_P_H
#define QZEROCONF_RESOLVCONF_P_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>

namespace QZeroConfInternal {

// What the resolver configuration says, read as the C library reads it: the name
// servers, and the search domains of the last "search" or "domain" line, as written
// (each once, without the root ".").
struct ResolverConfig
{
    QList<QByteArray> search;
    QList<QHostAddress> servers;
};
ResolverConfig parseResolvConf(const QByteArray &text);
// /etc/resolv.conf; empty where it cannot be read.
ResolverConfig systemResolverConfig();

} // namespace QZeroConfInternal

#endif
