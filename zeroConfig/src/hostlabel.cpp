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

namespace {

// name with its counter after separator raised by one, or 2 where it has none.
QByteArray nextWithCounter(const QByteArray &name, const QByteArray &separator)
{
    QByteArray base = name;
    qulonglong counter = 1;
    const int at = name.lastIndexOf(separator);
    if (at > 0) {
        const QByteArray digits = name.mid(at + separator.size());
        bool ok = false;
        const qulonglong n = digits.toULongLong(&ok);
        // "Office #02" and "Office #0" are names of their own, not counters.
        if (ok && n > 0 && digits.size() < 10 && digits[0] != '0' &&
            digits == QByteArray::number(n)) {
            base = name.left(at);
            counter = n;
        }
    }
    const QByteArray suffix = separator + QByteArray::number(counter + 1);
    return utf8Prefix(base, MaxLabelBytes - suffix.size()) + suffix;
}

} // namespace

QByteArray nextServiceName(const QByteArray &name)
{
    return nextWithCounter(name, " #");
}

QByteArray nextHostLabel(const QByteArray &label)
{
    return nextWithCounter(label, "-");
}

} // namespace QZeroConfInternal
