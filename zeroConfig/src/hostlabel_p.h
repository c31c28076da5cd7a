// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_HOSTLABEL_P_H
#define QZEROCONF_HOSTLABEL_P_H

#include <QByteArray>

namespace QZeroConfInternal {

// This machine's host name as one label, the one that mDNS and the site's DNS both name:
// what comes before the first dot, "linux" for none or "localhost", at most 63 bytes.
QByteArray systemHostLabel();

// The longest start of UTF-8 text that fits maxBytes without splitting a character.
QByteArray utf8Prefix(const QByteArray &utf8, int maxBytes);

} // namespace QZeroConfInternal

#endif
