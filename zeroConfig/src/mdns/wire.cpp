// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "wire_p.h"

#include <QtEndian>

#include <algorithm>

namespace QZeroConfInternal::Mdns {

namespace {

// Reads what `packet` holds, bounded by `end`; every read checks before it reads.
class Reader
{
public:
    Reader(const QByteArray &packet) : m_data(packet.constData()), m_size(packet.size()) {}

    int pos() const { return m_pos; }
    bool atEnd() const { return m_pos == m_size; }

    bool u8(quint8 *v, int end)
    {
        if (m_pos + 1 > end)
            return false;
        *v = quint8(m_data[m_pos++]);
        return true;
    }
    bool u16(quint16 *v, int end)
    {
        if (m_pos + 2 > end)
            return false;
        *v = qFromBigEndian<quint16>(m_data + m_pos);
        m_pos += 2;
        return true;
    }
    bool u32(quint32 *v, int end)
    {
        if (m_pos + 4 > end)
            return false;
        *v = qFromBigEndian<quint32>(m_data + m_pos);
        m_pos += 4;
        return true;
    }
    bool bytes(QByteArray *v, int n, int end)
    {
        if (n < 0 || m_pos + n > end)
            return false;
        *v = QByteArray(m_data + m_pos, n);
        m_pos += n;
        return true;
    }

    // A name, uncompressed into wire form. A pointer must point before the start of the
    // labels it was found among: offsets strictly fall, so pointers cannot loop.
    bool name(QByteArray *out, int end)
    {
        QByteArray result;
        int p = m_pos;
        int segmentStart = m_pos;
        int limit = end; // only the part before the first pointer is bounded by `end`
        bool jumped = false;
        for (;;) {
            if (p >= limit)
                return false;
            const quint8 len = quint8(m_data[p]);
            if ((len & 0xc0) == 0xc0) {
                if (p + 2 > limit)
                    return false;
                const int target = ((len & 0x3f) << 8) | quint8(m_data[p + 1]);
                if (target >= segmentStart)
                    return false;
                if (!jumped)
                    m_pos = p + 2;
                jumped = true;
                p = segmentStart = target;
                limit = m_size;
                continue;
            }
            if (len & 0xc0)
                return false; // the extended label types are not in use
            if (p + 1 + len > limit || result.size() + 1 + len + 1 > MaxNameLength)
                return false;
            result.append(m_data + p, 1 + len);
            p += 1 + len;
            if (len == 0) {
                if (!jumped)
                    m_pos = p;
                *out = result;
                return true;
            }
        }
    }

private:
    const char *m_data;
    int m_size;
    int m_pos = 0;
};

bool parseQuestion(Reader &r, int size, Question *q)
{
    quint16 cls = 0;
    if (!r.name(&q->name, size) || !r.u16(&q->type, size) || !r.u16(&cls, size))
        return false;
    q->unicastResponse = cls & TopBit;
    q->qclass = cls & ~TopBit;
    return true;
}

// NSEC type bitmaps (RFC 4034 section 4.1.2): each window's bytes within the data and
// at most 32. Empty or unordered windows are let through: a common stack sends an empty
// window before the real one, and dropping its whole response would lose its records.
bool checkBitmaps(const char *p, int n)
{
    while (n > 0) {
        if (n < 2)
            return false;
        const int len = quint8(p[1]);
        if (len > 32 || len > n - 2)
            return false;
        p += 2 + len;
        n -= 2 + len;
    }
    return true;
}

// The record data of the types we read, checked against rdlength; names uncompressed.
bool parseData(Reader &r, int size, quint16 type, int length, QByteArray *rdata)
{
    const int end = r.pos() + length;
    if (end > size)
        return false;
    switch (type) {
    case TypeA:
    case TypeAAAA:
        if (length != (type == TypeA ? 4 : 16))
            return false;
        return r.bytes(rdata, length, end);
    case TypePTR:
        return r.name(rdata, end) && r.pos() == end;
    case TypeSRV: {
        QByteArray fixed, target;
        if (!r.bytes(&fixed, 6, end) || !r.name(&target, end) || r.pos() != end)
            return false;
        *rdata = fixed + target;
        return true;
    }
    case TypeNSEC: {
        QByteArray next, bitmaps;
        if (!r.name(&next, end) || !r.bytes(&bitmaps, end - r.pos(), end))
            return false;
        if (!checkBitmaps(bitmaps.constData(), bitmaps.size()))
            return false;
        *rdata = next + bitmaps;
        return true;
    }
    case TypeTXT: {
        if (!r.bytes(rdata, length, end))
            return false;
        for (int i = 0; i < rdata->size(); i += 1 + quint8(rdata->at(i))) {
            if (i + 1 + quint8(rdata->at(i)) > rdata->size())
                return false;
        }
        return true;
    }
    default:
        return r.bytes(rdata, length, end);
    }
}

bool parseRecord(Reader &r, int size, Record *rec)
{
    quint16 cls = 0, length = 0;
    if (!r.name(&rec->name, size) || !r.u16(&rec->type, size) || !r.u16(&cls, size) ||
        !r.u32(&rec->ttl, size) || !r.u16(&length, size))
        return false;
    rec->cacheFlush = cls & TopBit;
    rec->rclass = cls & ~TopBit;
    return parseData(r, size, rec->type, length, &rec->rdata);
}

void appendU16(QByteArray *b, quint16 v)
{
    const char bytes[2] = {char(v >> 8), char(v & 0xff)};
    b->append(bytes, 2);
}

void appendU32(QByteArray *b, quint32 v)
{
    appendU16(b, quint16(v >> 16));
    appendU16(b, quint16(v & 0xffff));
}

void putU16(QByteArray *b, int at, quint16 v)
{
    char *d = b->data() + at; // not through QByteRef, which some compilers misjudge
    d[0] = char(v >> 8);
    d[1] = char(v & 0xff);
}

} // namespace

QByteArray nameFromDotted(const QByteArray &dotted)
{
    QByteArray result;
    const QList<QByteArray> labels = dotted.split('.');
    for (const QByteArray &label : labels) {
        if (label.isEmpty())
            continue;
        result.append(char(label.size()));
        result.append(label);
    }
    result.append('\0');
    return result;
}

QByteArray prependLabel(const QByteArray &label, const QByteArray &name)
{
    QByteArray result;
    result.reserve(1 + label.size() + name.size());
    result.append(char(label.size()));
    result.append(label);
    result.append(name);
    return result;
}

QByteArray lowerName(const QByteArray &name)
{
    // Shares the data when there is nothing to lower, as for most names on the wire.
    const auto upper =
        std::find_if(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
    if (upper == name.end())
        return name;
    QByteArray result = name;
    for (char &c : result)
        c = lowerChar(c);
    return result;
}

bool sameName(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (lowerChar(a[i]) != lowerChar(b[i]))
            return false;
    }
    return true;
}

QList<QByteArray> nameLabels(const QByteArray &name)
{
    QList<QByteArray> labels;
    for (int i = 0; i < name.size() && name[i];) {
        const int len = quint8(name[i]);
        labels.append(name.mid(i + 1, len));
        i += 1 + len;
    }
    return labels;
}

QString nameToString(const QByteArray &name)
{
    QByteArray dotted;
    const QList<QByteArray> labels = nameLabels(name);
    for (const QByteArray &label : labels)
        dotted += label + '.';
    return QString::fromUtf8(dotted);
}

QByteArray reverseName(const QHostAddress &address)
{
    QByteArray dotted;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 a = address.toIPv4Address();
        for (int i = 0; i < 4; ++i)
            dotted += QByteArray::number((a >> (8 * i)) & 0xff) + '.';
        return nameFromDotted(dotted + "in-addr.arpa");
    }
    const Q_IPV6ADDR a = address.toIPv6Address();
    static const char hex[] = "0123456789abcdef";
    for (int i = 15; i >= 0; --i) {
        dotted += hex[a[i] & 0xf];
        dotted += '.';
        dotted += hex[a[i] >> 4];
        dotted += '.';
    }
    return nameFromDotted(dotted + "ip6.arpa");
}

bool parseMessage(const QByteArray &packet, Message *out)
{
    Reader r(packet);
    const int size = packet.size();
    Message m;
    quint16 counts[4];
    if (!r.u16(&m.id, size) || !r.u16(&m.flags, size))
        return false;
    for (quint16 &c : counts) {
        if (!r.u16(&c, size))
            return false;
    }
    // Each question takes at least 5 bytes and each record 11: counts that cannot fit
    // are refused before anything is reserved for them.
    if (5 * counts[0] + 11 * (counts[1] + counts[2] + counts[3]) > size - 12)
        return false;
    m.questions.resize(counts[0]);
    for (Question &q : m.questions) {
        if (!parseQuestion(r, size, &q))
            return false;
    }
    QVector<Record> *sections[3] = {&m.answers, &m.authorities, &m.additionals};
    for (int s = 0; s < 3; ++s) {
        sections[s]->resize(counts[s + 1]);
        for (Record &rec : *sections[s]) {
            if (!parseRecord(r, size, &rec))
                return false;
        }
    }
    if (!r.atEnd())
        return false;
    *out = std::move(m);
    return true;
}

QByteArray ptrData(const QByteArray &target)
{
    return target;
}

QByteArray srvData(quint16 priority, quint16 weight, quint16 port, const QByteArray &target)
{
    QByteArray d;
    d.reserve(6 + target.size());
    appendU16(&d, priority);
    appendU16(&d, weight);
    appendU16(&d, port);
    d.append(target);
    return d;
}

QByteArray txtData(const TxtRecord &txt)
{
    // RFC 6763 section 6.1: never an empty TXT record.
    return txt.isEmpty() ? QByteArray(1, '\0') : txt.wire();
}

QByteArray addressData(const QHostAddress &address)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        QByteArray d;
        appendU32(&d, address.toIPv4Address());
        return d;
    }
    const Q_IPV6ADDR a = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(a.c), 16);
}

QByteArray nsecData(const QByteArray &name, const QVector<quint16> &types)
{
    // mDNS needs types below 256 only (RFC 6762 section 6.1): window 0 alone.
    quint8 bits[32] = {};
    int used = 0;
    for (quint16 t : types) {
        if (t >= 256)
            continue;
        bits[t / 8] |= quint8(0x80 >> (t % 8));
        used = std::max(used, t / 8 + 1);
    }
    QByteArray d = name;
    if (used) {
        d.append('\0');
        d.append(char(used));
        d.append(reinterpret_cast<const char *>(bits), used);
    }
    return d;
}

QVector<quint16> nsecTypes(const QByteArray &rdata)
{
    QVector<quint16> types;
    int i = 0;
    while (i < rdata.size() && rdata[i])
        i += 1 + quint8(rdata[i]);
    ++i; // the root label
    while (i + 2 <= rdata.size()) {
        const int window = quint8(rdata[i]), len = quint8(rdata[i + 1]);
        i += 2;
        for (int b = 0; b < len && i + b < rdata.size(); ++b) {
            for (int bit = 0; bit < 8; ++bit) {
                if (quint8(rdata[i + b]) & (0x80 >> bit))
                    types.append(quint16(window * 256 + b * 8 + bit));
            }
        }
        i += len;
    }
    return types;
}

QByteArray dataName(quint16 type, const QByteArray &rdata)
{
    if (type == TypePTR)
        return rdata;
    if (type == TypeSRV && rdata.size() > 6)
        return rdata.mid(6);
    return QByteArray();
}

MessageWriter::MessageWriter(quint16 id, quint16 flags, int sizeLimit) : m_limit(sizeLimit)
{
    appendU16(&m_buffer, id);
    appendU16(&m_buffer, flags);
    m_buffer.append(8, '\0');
}

void MessageWriter::setFlags(quint16 flags)
{
    putU16(&m_buffer, 2, flags);
}

bool MessageWriter::isEmpty() const
{
    return !(m_counts[0] || m_counts[1] || m_counts[2] || m_counts[3]);
}

void MessageWriter::writeName(const QByteArray &name, bool compress)
{
    // Only byte-equal suffixes are shared: names compare without case, but a pointer to
    // "Local" would change how "local" reads (instance names are shown to users).
    for (int i = 0; i < name.size() && name[i];) {
        const QByteArray suffix = name.mid(i);
        if (compress) {
            const auto it = m_offsets.constFind(suffix);
            if (it != m_offsets.constEnd()) {
                appendU16(&m_buffer, quint16(0xc000 | *it));
                return;
            }
        }
        if (m_buffer.size() < 0x4000 && !m_offsets.contains(suffix)) {
            m_offsets.insert(suffix, quint16(m_buffer.size()));
            m_added.append(suffix);
        }
        const int len = quint8(name[i]);
        m_buffer.append(name.constData() + i, 1 + len);
        i += 1 + len;
    }
    m_buffer.append('\0');
}

bool MessageWriter::fits(int start)
{
    if (m_buffer.size() <= m_limit) {
        m_added.clear();
        return true;
    }
    m_buffer.truncate(start);
    for (const QByteArray &key : qAsConst(m_added))
        m_offsets.remove(key);
    m_added.clear();
    return false;
}

bool MessageWriter::add(const Question &q)
{
    const int start = m_buffer.size();
    writeName(q.name, true);
    appendU16(&m_buffer, q.type);
    appendU16(&m_buffer, quint16(q.qclass | (q.unicastResponse ? TopBit : 0)));
    if (!fits(start))
        return false;
    putU16(&m_buffer, 4, quint16(++m_counts[0]));
    return true;
}

bool MessageWriter::add(Section section, const Record &r)
{
    const int start = m_buffer.size();
    writeName(r.name, true);
    appendU16(&m_buffer, r.type);
    appendU16(&m_buffer, quint16(r.rclass | (r.cacheFlush ? TopBit : 0)));
    appendU32(&m_buffer, r.ttl);
    const int lengthAt = m_buffer.size();
    appendU16(&m_buffer, 0);
    switch (r.type) {
    case TypePTR:
        writeName(r.rdata, true);
        break;
    case TypeSRV:
        m_buffer.append(r.rdata.left(6));
        writeName(r.rdata.mid(6), true);
        break;
    default:
        // NSEC's next name stays uncompressed, as unicast DNS has it (RFC 4034).
        m_buffer.append(r.rdata);
        break;
    }
    putU16(&m_buffer, lengthAt, quint16(m_buffer.size() - lengthAt - 2));
    if (!fits(start))
        return false;
    putU16(&m_buffer, 4 + 2 * int(section), quint16(++m_counts[int(section)]));
    return true;
}

} // namespace QZeroConfInternal::Mdns
