// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_UNICAST_DNSMESSAGE_P_H
#define QZEROCONF_UNICAST_DNSMESSAGE_P_H

#include "../resolvconf_p.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

// The messages of unicast DNS-SD: queries, DNS UPDATE (RFC 2136) with TSIG (RFC 8945)
// and the Update Lease option (RFC 9664). ldns builds, signs, parses and verifies them;
// nothing here touches a socket.
namespace QZeroConfInternal {
namespace Unicast {

// Response codes that matter here, with the TSIG errors (RFC 8945 section 5.3.2).
enum Rcode {
    NoError = 0,
    FormErr = 1,
    ServFail = 2,
    NxDomain = 3,
    NotImp = 4,
    Refused = 5,
    YxDomain = 6,
    YxRrset = 7,
    NxRrset = 8,
    NotAuth = 9,
    NotZone = 10,
    BadSig = 16,
    BadKey = 17,
    BadTime = 18
};
QString rcodeName(int rcode);

struct TsigKey
{
    QByteArray name;      // "key-name."
    QByteArray algorithm; // "hmac-sha256."
    QByteArray secret;    // base64, as in the file
    bool isNull() const { return name.isEmpty(); }
};

// Key files are small; anything larger is not one.
constexpr int MaxKeyFileBytes = 16 * 1024;

// Reads a key file without waiting on it: only a regular file of at most MaxKeyFileBytes
// is read (a FIFO or a device would block, or never end). Returns an empty string, or
// why the file gives no usable key. *othersMayRead: whether other users may read it.
QString readTsigKeyFile(const QString &path, TsigKey *key, bool *othersMayRead);

// A key file as tsig-keygen and ddns-confgen write it:
//   key "NAME" { algorithm hmac-sha256; secret "BASE64"; };
// Returns an empty string, or why the text is no usable key (never quoting the secret).
QString parseTsigKey(const QByteArray &text, TsigKey *key);

using QZeroConfInternal::parseResolvConf;
using QZeroConfInternal::ResolverConfig;
// The resolver configuration with its search domains as absolute names, each once.
ResolverConfig canonicalResolverConfig(const ResolverConfig &written);

// A label in presentation form, so that dots, spaces and bytes outside printable
// ASCII survive ldns's name parser.
QByteArray escapeLabel(const QByteArray &raw);

// A name in ldns's presentation form, absolute; empty when it is no name.
QByteArray canonicalName(const QByteArray &presentation);
// Names compare without regard to ASCII case (RFC 4343).
bool sameName(const QByteArray &a, const QByteArray &b);

// A message on its way out, with what is needed to check its answer.
struct Outgoing
{
    QByteArray wire;
    quint16 id = 0;
    QByteArray requestMac; // the MAC of a signed request, to verify the answer with
};

struct Record
{
    QByteArray owner; // presentation form, absolute
    int type = 0;
    quint32 ttl = 0;
    QList<QByteArray> rdata; // presentation form of each field
    QList<QByteArray> raw;   // each field's bytes; a character string's without its length
};

// The labels of a name in presentation form, as raw bytes, the root left out; empty when
// it is no name.
QList<QByteArray> labelsOf(const QByteArray &presentation);
// A name for people: its labels unescaped, joined by dots, without the root's.
QString readableName(const QByteArray &presentation);

struct Answer
{
    int rcode = 0;         // extended by the TSIG error where there is one
    bool verified = false; // signed with our key, and the signature holds
    quint32 lease = 0;     // granted Update Lease, 0 when the server sent none
    QList<Record> answer;
    QList<Record> authority;
    QList<Record> additional;

    QList<Record> records(int type) const; // of that type, answer section first
    // How long a "no such record" may be believed (RFC 2308 section 5): the SOA's TTL or
    // its minimum, whichever is less; `otherwise` where the answer carries no SOA.
    quint32 negativeTtl(quint32 otherwise) const;
};

// Everything one registration puts in the zone. Names in presentation form, absolute.
struct Registration
{
    QByteArray zone;     // "example.test."
    QByteArray typeName; // "_printer._tcp.example.test."
    QByteArray instance; // "Office\ Printer._printer._tcp.example.test."
    QByteArray target;   // "printer1.example.test."
    quint16 port = 0;
    QList<QByteArray> txt;
    QList<QHostAddress> addresses;
    quint32 ttl = 120;
    quint32 lease = 3600;
};

enum class UpdateKind {
    Claim,     // the instance name must be free
    TakeOver,  // our own SRV must stand there (a restart, a refresh): replace it all
    Addresses, // only the target's address records
    Remove     // everything we added
};

Outgoing buildQuery(const QByteArray &name, int type, QString *error);
Outgoing buildUpdate(const Registration &r, UpdateKind kind, const TsigKey &key, QString *error);

// What a message that came from the server is to the query it may answer: another
// message's answer (ignored), ours but not parseable, ours but truncated, or the answer.
enum class Reply { Stranger, Malformed, Truncated, Answer };
Reply classifyReply(const QByteArray &reply, const QByteArray &query);

// RFC 1035 4.2.2: over TCP each message is preceded by its length.
QByteArray framed(const QByteArray &wire);
// Moves the first whole message of a TCP stream into *message; false when none is whole yet.
bool takeFramed(QByteArray *stream, QByteArray *message);

// Parses an answer to request. With a key, *verified tells whether the server signed it
// with that key; a TSIG error in an unsigned answer is still reported in rcode.
bool parseAnswer(const QByteArray &wire, const Outgoing &request, const TsigKey &key,
                 Answer *answer, QString *error);

} // namespace Unicast
} // namespace QZeroConfInternal

#endif
