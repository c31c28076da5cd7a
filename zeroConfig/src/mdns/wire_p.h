// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_MDNS_WIRE_P_H
#define QZEROCONF_MDNS_WIRE_P_H

#include "../engine_p.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QVector>

// DNS messages as multicast DNS uses them (RFC 1035, RFC 6762 section 18): parsing with
// every length and pointer checked, building with name compression and a size limit.
//
// Names are kept in wire form, uncompressed: length-prefixed labels ending in the root
// label. That form is unambiguous (instance names may hold dots), needs no conversion
// on the way out, and is implicitly shared between the records that carry it. Label
// lengths are at most 63, below 'A', so a name lowercases as a whole.
namespace QZeroConfInternal::Mdns {

enum RecordType : quint16 {
    TypeA = 1,
    TypePTR = 12,
    TypeTXT = 16,
    TypeAAAA = 28,
    TypeSRV = 33,
    TypeNSEC = 47,
    TypeANY = 255,
};
constexpr quint16 ClassIN = 1;
constexpr quint16 ClassANY = 255;
// The top bit of a class: in a question, "unicast response wanted" (QU, RFC 6762
// section 5.4); in a record, "cache flush" (section 10.2).
constexpr quint16 TopBit = 0x8000;

constexpr quint16 FlagResponse = 0x8000;
constexpr quint16 FlagAuthoritative = 0x0400;
constexpr quint16 FlagTruncated = 0x0200;

constexpr int MaxNameLength = 255;
constexpr int MaxLabelLength = 63;
// RFC 6762 section 17: never more than 9000 bytes; a packet that fits the usual
// Ethernet MTU over IPv6 (1500 - 40 - 8) is preferred.
constexpr int MaxMessageSize = 9000;
constexpr int PreferredMessageSize = 1452;

// Names in wire form.
QByteArray nameFromDotted(const QByteArray &dotted); // "_ipp._tcp.local": no escaped dots
QByteArray prependLabel(const QByteArray &label, const QByteArray &name);
QByteArray lowerName(const QByteArray &name);
bool sameName(const QByteArray &a, const QByteArray &b);
// Names compare without regard to ASCII case (RFC 6762 section 16).
inline char lowerChar(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}
QList<QByteArray> nameLabels(const QByteArray &name);
QString nameToString(const QByteArray &name); // for logs: labels joined by dots
// The wire name of an address's reverse mapping (in-addr.arpa or ip6.arpa).
QByteArray reverseName(const QHostAddress &address);

struct Record
{
    QByteArray name;  // wire form
    QByteArray rdata; // names inside it uncompressed
    quint32 ttl = 0;
    quint16 type = 0;
    quint16 rclass = ClassIN; // without the cache-flush bit
    bool cacheFlush = false;

    // Same name, type, class and data: TTL and cache-flush bit aside.
    bool sameData(const Record &o) const
    {
        return type == o.type && rclass == o.rclass && rdata == o.rdata && sameName(name, o.name);
    }
};

struct Question
{
    QByteArray name;
    quint16 type = 0;
    quint16 qclass = ClassIN; // without the QU bit
    bool unicastResponse = false;
};

struct Message
{
    quint16 id = 0;
    quint16 flags = 0;
    QVector<Question> questions;
    QVector<Record> answers;
    QVector<Record> authorities;
    QVector<Record> additionals;

    bool isResponse() const { return flags & FlagResponse; }
    bool isTruncated() const { return flags & FlagTruncated; }
    int opcode() const { return (flags >> 11) & 0xf; }
    int rcode() const { return flags & 0xf; }
};

// False when anything in the packet is out of bounds, a pointer does not point back, a
// name is too long, a record's data does not match its type, or the section counts do
// not match what the packet holds (trailing bytes included): the packet is dropped
// whole and *out is left as it was.
bool parseMessage(const QByteArray &packet, Message *out);

// Record data of the types we publish, names in wire form.
QByteArray ptrData(const QByteArray &target);
QByteArray srvData(quint16 priority, quint16 weight, quint16 port, const QByteArray &target);
QByteArray txtData(const TxtRecord &txt); // no strings give one empty string
inline QByteArray txtData(const QList<QByteArray> &strings)
{
    return txtData(TxtRecord::fromStrings(strings));
}
QByteArray addressData(const QHostAddress &address); // A or AAAA by the address's family
QByteArray nsecData(const QByteArray &name, const QVector<quint16> &types);
// The types an NSEC record lists; empty when its data is not one.
QVector<quint16> nsecTypes(const QByteArray &rdata);
// The name in PTR data, or the target of SRV data; empty when there is none.
QByteArray dataName(quint16 type, const QByteArray &rdata);

enum class Section { Question, Answer, Authority, Additional };

// Builds one message. Sections are filled in order; an item that would take the
// message past its size limit is not written (nothing of it), and the caller starts
// another message.
class MessageWriter
{
public:
    explicit MessageWriter(quint16 id, quint16 flags, int sizeLimit = PreferredMessageSize);

    bool add(const Question &q);
    bool add(Section section, const Record &r);
    int count(Section section) const { return m_counts[int(section)]; }
    bool isEmpty() const;
    int size() const { return m_buffer.size(); }
    void setFlags(quint16 flags);
    // Without the slack the buffer grew with: a burst of packets waits in the pace queue.
    QByteArray message() const { return QByteArray(m_buffer.constData(), m_buffer.size()); }

private:
    void writeName(const QByteArray &name, bool compress);
    bool fits(int start);

    QByteArray m_buffer;
    // Name suffix -> offset of its first occurrence (below 0x4000 only).
    QHash<QByteArray, quint16> m_offsets;
    QVector<QByteArray> m_added; // keys added by the item being written
    int m_limit;
    int m_counts[4] = {0, 0, 0, 0};
};

} // namespace QZeroConfInternal::Mdns

#endif
