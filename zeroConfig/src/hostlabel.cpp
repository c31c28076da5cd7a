// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "hostlabel_p.h"

#include "publishrequest_p.h"

#include <QSysInfo>

namespace QZeroConfInternal {

QByteArray systemHostLabel()
{
    QByteArray label = QSysInfo::machineHostName().toUtf8();
    label = label.left(label.indexOf('.') < 0 ? label.size() : label.indexOf('.'));
    if (label.isEmpty() || label == "localhost")
        label = "linux";
    return utf8Prefix(label, MaxLabelBytes);
}

QByteArray utf8Prefix(const QByteArray &utf8, int maxBytes)
{
    if (utf8.size() <= maxBytes)
        return utf8;
    int end = maxBytes;
    // Back over continuation bytes (10xxxxxx) to the start of the character cut in two.
    while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xc0) == 0x80)
        --end;
    return utf8.left(end);
}

} // namespace QZeroConfInternal
