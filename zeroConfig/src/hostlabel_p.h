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

// The name to try after a conflict (RFC 6763 section 9 leaves the form to us; people
// expect these): "Office" -> "Office #2" -> "Office #3" for a service, "printer" ->
// "printer-2" -> "printer-3" for a host. The base is cut, never the number, to stay
// within a label's 63 bytes.
QByteArray nextServiceName(const QByteArray &name);
QByteArray nextHostLabel(const QByteArray &label);

} // namespace QZeroConfInternal

#endif
