// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "publishrequest_p.h"

#include <algorithm>

namespace QZeroConfInternal {

namespace {

// "0A" for 10.
QString hexByte(int byte)
{
    return QString::number(byte, 16).rightJustified(2, QLatin1Char('0')).toUpper();
}

bool endsWithLocal(const QByteArray &name)
{
    return name.toLower().endsWith(".local");
}

// RFC 6335 section 5.1: 1-15 letters, digits and hyphens, at least one letter,
// no hyphen at either end and no two hyphens in a row.
bool isValidServiceName(const QByteArray &name)
{
    if (name.isEmpty() || name.size() > MaxServiceNameChars)
        return false;
    if (name.startsWith('-') || name.endsWith('-') || name.contains("--"))
        return false;
    bool hasLetter = false;
    for (char c : name) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '-')
            return false;
        hasLetter = hasLetter || letter;
    }
    return hasLetter;
}

} // namespace

void TxtEntries::add(const QString &key, const QString *value)
{
    if (!m_problem.isEmpty())
        return; // the first wrong entry is the one to tell about
    const QByteArray keyBytes = key.toUtf8();
    bool printable = !keyBytes.isEmpty();
    for (char c : keyBytes)
        printable = printable && c >= 0x20 && c <= 0x7e && c != '=';
    if (!printable) {
        m_problem = QStringLiteral("TXT key %1 is not valid: a key is one or more printable "
                                   "ASCII characters other than \"=\"")
                        .arg(quotedUtf8(keyBytes));
        return;
    }
    QByteArray text = keyBytes;
    if (value)
        text += '=' + value->toUtf8();
    if (text.size() > MaxTxtStringBytes) {
        m_problem =
            QStringLiteral("TXT entry \"%1\" is %2 bytes long; one entry may be at most %3 bytes")
                .arg(key)
                .arg(text.size())
                .arg(MaxTxtStringBytes);
        return;
    }
    m_record.append(text);
}

QString TxtEntries::check(TxtRecord *out) const
{
    if (!m_problem.isEmpty())
        return m_problem;
    if (m_record.wire().size() > MaxTxtRecordBytes)
        return QStringLiteral(
                   "the TXT entries take %1 bytes together; the record may be at most %2 bytes")
            .arg(m_record.wire().size())
            .arg(MaxTxtRecordBytes);
    *out = m_record;
    return QString();
}

QString checkServiceType(QByteArray type, QByteArray *wire)
{
    const QString what = QStringLiteral("service type %1").arg(quotedUtf8(type));
    if (type.endsWith('.'))
        type.chop(1);
    if (endsWithLocal(type))
        type.chop(6);
    const QList<QByteArray> labels = type.split('.');
    if (labels.size() != 2 || !labels[0].startsWith('_') ||
        (labels[1] != "_tcp" && labels[1] != "_udp"))
        return QStringLiteral("%1 is not valid: it must be \"_name._tcp\" or \"_name._udp\"")
            .arg(what);
    if (!isValidServiceName(labels[0].mid(1)))
        return QStringLiteral(
                   "%1 is not valid: the name after \"_\" must be 1 to %2 letters, digits "
                   "and inner hyphens, with at least one letter")
            .arg(what)
            .arg(MaxServiceNameChars);
    *wire = type;
    return QString();
}

// RFC 6763 section 7.2: a subtype is one label of up to 63 bytes, an underscore first
// by custom only. A comma would read as the next subtype, a dot as a label's end.
QString checkServiceTypeWithSubtypes(const QByteArray &type, QByteArray *wire,
                                     QList<QByteArray> *subtypes)
{
    QList<QByteArray> parts = type.split(',');
    const QString error = checkServiceType(parts.takeFirst(), wire);
    if (!error.isEmpty())
        return error;
    subtypes->clear();
    for (const QByteArray &sub : qAsConst(parts)) {
        QString why;
        if (sub.isEmpty())
            why = QStringLiteral("it is empty");
        else if (sub.size() > MaxLabelBytes)
            why = QStringLiteral("it is %1 bytes long; a subtype may be at most %2 bytes")
                      .arg(sub.size())
                      .arg(MaxLabelBytes);
        else if (!isValidUtf8(sub))
            why = QStringLiteral("it is not valid UTF-8");
        else if (sub.contains('.') || sub.contains('\\'))
            why = QStringLiteral("a subtype is one label, without \".\" or a backslash");
        else if (std::any_of(sub.begin(), sub.end(), [](char c) {
                     return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
                 }))
            why = QStringLiteral("it contains a control character");
        else if (std::any_of(subtypes->begin(), subtypes->end(), [&](const QByteArray &s) {
                     return s.compare(sub, Qt::CaseInsensitive) == 0;
                 }))
            why = QStringLiteral("it is given twice");
        if (!why.isEmpty())
            return QStringLiteral("subtype %1 of %2 is not valid: %3")
                .arg(quotedUtf8(sub), quotedUtf8(*wire), why);
        subtypes->append(sub);
    }
    return QString();
}

QString quotedUtf8(const QByteArray &utf8)
{
    // A message stays one line whatever the name holds.
    QString quoted = QStringLiteral("\"");
    for (const QChar c : QString::fromUtf8(utf8)) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            quoted += QStringLiteral("\\x") + hexByte(c.unicode());
        else
            quoted += c;
    }
    return quoted + QLatin1Char('"');
}

// RFC 3629: overlong forms, surrogates, code points above U+10FFFF, stray continuation
// bytes and a sequence cut off at the end are all invalid. Written out rather than taken
// from a codec, which Qt 6 no longer has in Core. Bytes are read as unsigned: char is
// signed on x86 and unsigned on ARM.
bool isValidUtf8(const QByteArray &bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const auto *const end = p + bytes.size();
    while (p < end) {
        const unsigned lead = *p++;
        if (lead < 0x80)
            continue;
        int follow;
        char32_t codePoint;
        char32_t lowest;
        if ((lead & 0xE0) == 0xC0) {
            follow = 1;
            codePoint = lead & 0x1F;
            lowest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            follow = 2;
            codePoint = lead & 0x0F;
            lowest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            follow = 3;
            codePoint = lead & 0x07;
            lowest = 0x10000;
        } else {
            return false;
        }
        if (end - p < follow)
            return false;
        for (int i = 0; i < follow; ++i) {
            const unsigned next = *p++;
            if ((next & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (codePoint < lowest || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
    }
    return true;
}

QByteArray hostLabelFromArgument(const QByteArray &host, QString *error)
{
    QByteArray label = host;
    if (label.endsWith('.'))
        label.chop(1);
    if (label.toLower() == "local")
        return QByteArray();
    if (endsWithLocal(label))
        label.chop(6);
    if (label.isEmpty() && host.isEmpty())
        return QByteArray();

    QString why;
    if (label.isEmpty())
        why = QStringLiteral("it has an empty label");
    else if (label.contains('.'))
        why = QStringLiteral("it must be a single label, optionally followed by \".local\"");
    else if (label.size() > MaxLabelBytes)
        why = QStringLiteral("it is %1 bytes long; a host label may be at most %2 bytes")
                  .arg(label.size())
                  .arg(MaxLabelBytes);
    else if (!isValidUtf8(label))
        why = QStringLiteral("it is not valid UTF-8");
    else {
        for (char c : label) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\') {
                why = QStringLiteral("it contains a control character or a backslash");
                break;
            }
        }
    }
    if (!why.isEmpty()) {
        *error = QStringLiteral("host name %1 is not valid: %2").arg(quotedUtf8(host), why);
        return QByteArray();
    }
    return label;
}

QString makePublishRequest(const char *name, const char *type, const char *host, quint16 port,
                           const TxtEntries &txt, PublishRequest *request,
                           const QList<QPair<QByteArray, quint16>> &moreTypes)
{
    PublishRequest result;
    result.port = port;

    result.name = name ? QByteArray(name) : QByteArray();
    if (result.name.isEmpty())
        return QStringLiteral("the service name is empty");
    if (!isValidUtf8(result.name))
        return QStringLiteral("the service name is not valid UTF-8");
    if (result.name.size() > MaxLabelBytes)
        return QStringLiteral(
                   "service name %1 is %2 bytes long in UTF-8; it may be at most %3 bytes")
            .arg(quotedUtf8(result.name))
            .arg(result.name.size())
            .arg(MaxLabelBytes);
    for (char c : result.name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return QStringLiteral("instance name %1 contains a control character (0x%2); RFC 6763 "
                                  "section 4.1.1 allows none of 0x00-0x1F and 0x7F in a name")
                .arg(quotedUtf8(result.name), hexByte(static_cast<unsigned char>(c)));
    }

    QString error = checkServiceTypeWithSubtypes(type ? QByteArray(type) : QByteArray(),
                                                 &result.type, &result.subtypes);
    if (!error.isEmpty())
        return error;
    for (const auto &more : moreTypes) {
        ServiceType t;
        t.port = more.second;
        error = checkServiceTypeWithSubtypes(more.first, &t.type, &t.subtypes);
        if (!error.isEmpty())
            return error;
        const QList<ServiceType> all = result.allTypes();
        if (std::any_of(all.begin(), all.end(), [&](const ServiceType &o) {
                return o.type.compare(t.type, Qt::CaseInsensitive) == 0;
            }))
            return QStringLiteral("service type %1 is given twice; an instance has one port "
                                  "per type")
                .arg(quotedUtf8(t.type));
        result.moreTypes.append(t);
    }

    result.hostLabel = hostLabelFromArgument(host ? QByteArray(host) : QByteArray(), &error);
    if (!error.isEmpty())
        return error;

    error = txt.check(&result.txt);
    if (!error.isEmpty())
        return error;

    *request = result;
    return QString();
}

} // namespace QZeroConfInternal
