// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "dnsmessage_p.h"

#include <QFile>
#include <QRegularExpression>
#include <QtEndian>

#include <ldns/ldns.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace QZeroConfInternal {
namespace Unicast {

namespace {

struct PktFree
{
    void operator()(ldns_pkt *p) const { ldns_pkt_free(p); }
};
struct RdfFree
{
    void operator()(ldns_rdf *r) const { ldns_rdf_deep_free(r); }
};
struct ListFree
{
    void operator()(ldns_rr_list *l) const { ldns_rr_list_deep_free(l); }
};
using Pkt = std::unique_ptr<ldns_pkt, PktFree>;
using Rdf = std::unique_ptr<ldns_rdf, RdfFree>;
using List = std::unique_ptr<ldns_rr_list, ListFree>;

constexpr quint16 TsigFudge = 300;
constexpr quint16 EdnsUdpSize = 1232;

QByteArray takeString(char *s)
{
    const QByteArray result(s ? s : "");
    std::free(s);
    return result;
}

QByteArray present(const ldns_rdf *rdf)
{
    return rdf ? takeString(ldns_rdf2str(rdf)) : QByteArray();
}

// One resource record; rdata fields in presentation form, in order. An empty list
// makes the empty rdata that prerequisites and RRset deletions carry.
ldns_rr *makeRr(const QByteArray &owner, ldns_rr_type type, ldns_rr_class cls, quint32 ttl,
                const QList<QPair<ldns_rdf_type, QByteArray>> &fields, QString *error)
{
    ldns_rdf *name = ldns_dname_new_frm_str(owner.constData());
    if (!name) {
        *error = QStringLiteral("not a domain name: %1").arg(QString::fromUtf8(owner));
        return nullptr;
    }
    ldns_rr *rr = ldns_rr_new();
    ldns_rr_set_owner(rr, name);
    ldns_rr_set_type(rr, type);
    ldns_rr_set_class(rr, cls);
    ldns_rr_set_ttl(rr, ttl);
    for (const auto &field : fields) {
        ldns_rdf *rdf = ldns_rdf_new_frm_str(field.first, field.second.constData());
        if (!rdf) {
            *error = QStringLiteral("cannot encode %1").arg(QString::fromUtf8(field.second));
            ldns_rr_free(rr);
            return nullptr;
        }
        ldns_rr_push_rdf(rr, rdf);
    }
    return rr;
}

// Bytes in the presentation form that ldns parses: the characters in `specials` behind
// a backslash, bytes outside printable ASCII (and the space, where `space` says so) as \DDD.
QByteArray escaped(const QByteArray &raw, const char *specials, bool space)
{
    QByteArray out;
    for (const char c : raw) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c && std::strchr(specials, c))
            out += '\\' + QByteArray(1, c);
        else if (u < 0x20 || u >= 0x7f || (space && u == 0x20))
            out += '\\' + QByteArray::number(u).rightJustified(3, '0');
        else
            out += c;
    }
    return out;
}

bool push(ldns_rr_list *list, ldns_rr *rr)
{
    if (!rr)
        return false;
    ldns_rr_list_push_rr(list, rr);
    return true;
}

QList<Record> records(const ldns_rr_list *list)
{
    QList<Record> result;
    for (size_t i = 0; list && i < ldns_rr_list_rr_count(list); ++i) {
        const ldns_rr *rr = ldns_rr_list_rr(list, i);
        Record r;
        r.owner = canonicalName(present(ldns_rr_owner(rr)));
        r.type = ldns_rr_get_type(rr);
        r.ttl = ldns_rr_ttl(rr);
        for (size_t f = 0; f < ldns_rr_rd_count(rr); ++f) {
            const ldns_rdf *field = ldns_rr_rdf(rr, f);
            r.rdata.append(present(field));
            const int skip = ldns_rdf_get_type(field) == LDNS_RDF_TYPE_STR ? 1 : 0;
            const auto size = int(ldns_rdf_size(field));
            r.raw.append(
                size < skip
                    ? QByteArray()
                    : QByteArray(reinterpret_cast<const char *>(ldns_rdf_data(field)) + skip,
                                 size - skip));
        }
        result.append(r);
    }
    return result;
}

bool finish(ldns_pkt *pkt, const TsigKey &key, Outgoing *out, QString *error)
{
    ldns_pkt_set_random_id(pkt);
    out->id = ldns_pkt_id(pkt);
    if (!key.isNull()) {
        const ldns_status s = ldns_pkt_tsig_sign(pkt, key.name.constData(), key.secret.constData(),
                                                 TsigFudge, key.algorithm.constData(), nullptr);
        if (s != LDNS_STATUS_OK) {
            *error = QStringLiteral("cannot sign with %1: %2")
                         .arg(QString::fromLatin1(key.algorithm),
                              QString::fromLatin1(ldns_get_errorstr_by_id(s)));
            return false;
        }
        const ldns_rdf *mac = ldns_rr_rdf(ldns_pkt_tsig(pkt), 3);
        out->requestMac =
            QByteArray(reinterpret_cast<const char *>(ldns_rdf_data(mac)), int(ldns_rdf_size(mac)));
    }
    uint8_t *wire = nullptr;
    size_t size = 0;
    if (ldns_pkt2wire(&wire, pkt, &size) != LDNS_STATUS_OK) {
        *error = QStringLiteral("cannot encode the message");
        return false;
    }
    out->wire = QByteArray(reinterpret_cast<const char *>(wire), int(size));
    std::free(wire);
    return true;
}

} // namespace

QString rcodeName(int rcode)
{
    static const char *const names[] = {"NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN",
                                        "NOTIMP",  "REFUSED", "YXDOMAIN", "YXRRSET",
                                        "NXRRSET", "NOTAUTH", "NOTZONE"};
    if (rcode >= 0 && rcode <= NotZone)
        return QString::fromLatin1(names[rcode]);
    if (rcode == BadSig)
        return QStringLiteral("BADSIG");
    if (rcode == BadKey)
        return QStringLiteral("BADKEY");
    if (rcode == BadTime)
        return QStringLiteral("BADTIME");
    return QStringLiteral("RCODE%1").arg(rcode);
}

namespace {

// The text of a named.conf-style file without its comments (#, // and /* */). Only
// outside quotes: a base64 secret may well contain "//".
QString withoutComments(const QString &text)
{
    QString out;
    out.reserve(text.size());
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const QChar next = i + 1 < text.size() ? text[i + 1] : QChar();
        if (quoted) {
            quoted = c != QLatin1Char('"');
        } else if (c == QLatin1Char('#') || (c == QLatin1Char('/') && next == QLatin1Char('/'))) {
            while (i + 1 < text.size() && text[i + 1] != QLatin1Char('\n'))
                ++i;
            continue;
        } else if (c == QLatin1Char('/') && next == QLatin1Char('*')) {
            const int end = text.indexOf(QLatin1String("*/"), i + 2);
            i = end < 0 ? text.size() : end + 1;
            out += QLatin1Char(' ');
            continue;
        } else {
            quoted = c == QLatin1Char('"');
        }
        out += c;
    }
    return out;
}

} // namespace

QString parseTsigKey(const QByteArray &text, TsigKey *key)
{
    // ddns-confgen surrounds the key with commented instructions: drop comments first.
    const QString clean = withoutComments(QString::fromUtf8(text));
    const QRegularExpression block(QStringLiteral("\\bkey\\s+\"?([^\"\\s{]+)\"?\\s*\\{([^}]*)\\}"));
    const QRegularExpressionMatch m = block.match(clean);
    if (!m.hasMatch())
        return QStringLiteral(
            "no key statement (key \"NAME\" { algorithm ...; secret \"...\"; };)");
    const QString body = m.captured(2);
    const QRegularExpressionMatch alg =
        QRegularExpression(QStringLiteral("\\balgorithm\\s+\"?([A-Za-z0-9-]+)\"?\\s*;"))
            .match(body);
    const QRegularExpressionMatch secret =
        QRegularExpression(QStringLiteral("\\bsecret\\s+\"([^\"]*)\"\\s*;")).match(body);
    if (!alg.hasMatch())
        return QStringLiteral("the key has no algorithm");
    if (!secret.hasMatch())
        return QStringLiteral("the key has no secret");

    const QString algorithm = alg.captured(1).toLower();
    static const QStringList accepted = {
        QStringLiteral("hmac-sha224"), QStringLiteral("hmac-sha256"), QStringLiteral("hmac-sha384"),
        QStringLiteral("hmac-sha512")};
    if (!accepted.contains(algorithm))
        return QStringLiteral("algorithm %1 is not one of hmac-sha224, -sha256, -sha384, -sha512")
            .arg(algorithm);
    const QByteArray b64 = secret.captured(1).toLatin1();
    const auto decoded =
        QByteArray::fromBase64Encoding(b64, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty())
        return QStringLiteral("the secret is not base64");

    TsigKey k;
    k.name = canonicalName(m.captured(1).toUtf8());
    k.algorithm = algorithm.toLatin1() + '.';
    // Written again as ldns reads base64: it refuses some forms that Qt takes (a missing
    // padding, say), and would then fail to sign.
    k.secret = decoded.decoded.toBase64();
    // The library may not know every algorithm of RFC 8945 (ldns 1.8.3 signs neither
    // hmac-sha224 nor, misspelling it, hmac-sha384): find out now rather than per update.
    QString why;
    Outgoing probe;
    ldns_rdf *owner = ldns_dname_new_frm_str(k.name.constData());
    Pkt pkt(owner ? ldns_pkt_query_new(owner, LDNS_RR_TYPE_SOA, LDNS_RR_CLASS_IN, 0) : nullptr);
    if (!pkt)
        return QStringLiteral("the key name is not a domain name");
    if (!finish(pkt.get(), k, &probe, &why))
        return QStringLiteral("the DNS library (ldns %1) cannot sign with %2")
            .arg(QString::fromLatin1(LDNS_VERSION), algorithm);
    *key = k;
    return QString();
}

QString readTsigKeyFile(const QString &path, TsigKey *key, bool *othersMayRead)
{
    const QString cannot = QStringLiteral("cannot read the TSIG key file %1: %2");
    // Non-blocking, so that opening a FIFO with no writer returns at once.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return cannot.arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    struct stat st;
    QByteArray text;
    QString why;
    if (::fstat(fd, &st) != 0) {
        why = cannot.arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    } else if (!S_ISREG(st.st_mode)) {
        why = QStringLiteral("the TSIG key file %1 is not a regular file").arg(path);
    } else {
        // One byte more than allowed tells a file that is too large, or grew meanwhile.
        text.resize(MaxKeyFileBytes + 1);
        qint64 got = 0;
        for (ssize_t n; got < text.size(); got += n) {
            n = ::read(fd, text.data() + got, size_t(text.size() - got));
            if (n < 0 && errno == EINTR)
                n = 0;
            else if (n <= 0)
                break;
        }
        text.truncate(int(got));
        if (got > MaxKeyFileBytes)
            why = QStringLiteral("the TSIG key file %1 is larger than %2 KiB")
                      .arg(path)
                      .arg(MaxKeyFileBytes / 1024);
        *othersMayRead = st.st_mode & S_IROTH;
    }
    ::close(fd);
    if (why.isEmpty()) {
        const QString unusable = parseTsigKey(text, key);
        if (!unusable.isEmpty())
            why = QStringLiteral("the TSIG key file %1 is not usable: %2").arg(path, unusable);
    }
    return why;
}

ResolverConfig canonicalResolverConfig(const ResolverConfig &written)
{
    ResolverConfig config = written;
    config.search.clear();
    for (const QByteArray &domain : written.search) {
        const QByteArray name = canonicalName(domain);
        if (!name.isEmpty() && !config.search.contains(name))
            config.search.append(name);
    }
    return config;
}

QByteArray escapeLabel(const QByteArray &raw)
{
    return escaped(raw, ".\\\"();@$", true);
}

QByteArray canonicalName(const QByteArray &presentation)
{
    // Through ldns and back, so that one name written two ways reads the same. The case
    // stays: instance names are shown to people as they were registered.
    Rdf rdf(ldns_dname_new_frm_str(presentation.constData()));
    return rdf ? present(rdf.get()) : QByteArray();
}

bool sameName(const QByteArray &a, const QByteArray &b)
{
    // Escapes keep every byte outside printable ASCII out of the comparison's way.
    return canonicalName(a).toLower() == canonicalName(b).toLower();
}

QList<Record> Answer::records(int type) const
{
    QList<Record> result;
    for (const QList<Record> *section : {&answer, &authority, &additional})
        for (const Record &r : *section)
            if (r.type == type)
                result.append(r);
    return result;
}

quint32 Answer::negativeTtl(quint32 otherwise) const
{
    for (const Record &r : authority) {
        if (r.type == LDNS_RR_TYPE_SOA && r.rdata.size() == 7)
            return qMin(r.ttl, r.rdata[6].toUInt());
    }
    return otherwise;
}

QList<QByteArray> labelsOf(const QByteArray &presentation)
{
    QList<QByteArray> labels;
    Rdf rdf(ldns_dname_new_frm_str(presentation.constData()));
    if (!rdf)
        return labels;
    // The wire form: each label behind its length, up to the root's zero.
    const QByteArray wire(reinterpret_cast<const char *>(ldns_rdf_data(rdf.get())),
                          int(ldns_rdf_size(rdf.get())));
    for (int i = 0; i < wire.size() && wire[i] != 0; i += 1 + quint8(wire[i]))
        labels.append(wire.mid(i + 1, quint8(wire[i])));
    return labels;
}

QString readableName(const QByteArray &presentation)
{
    QStringList parts;
    for (const QByteArray &label : labelsOf(presentation))
        parts.append(QString::fromUtf8(label));
    return parts.join(QLatin1Char('.'));
}

Outgoing buildQuery(const QByteArray &name, int type, QString *error)
{
    Outgoing out;
    ldns_rdf *qname = ldns_dname_new_frm_str(name.constData());
    if (!qname) {
        *error = QStringLiteral("not a domain name: %1").arg(QString::fromUtf8(name));
        return out;
    }
    Pkt pkt(ldns_pkt_query_new(qname, ldns_rr_type(type), LDNS_RR_CLASS_IN, LDNS_RD));
    if (!finish(pkt.get(), TsigKey(), &out, error))
        out.wire.clear();
    return out;
}

Outgoing buildUpdate(const Registration &r, UpdateKind kind, const TsigKey &key, QString *error)
{
    Outgoing out;
    List prereqs(ldns_rr_list_new());
    List updates(ldns_rr_list_new());
    const QByteArray port = QByteArray::number(r.port);
    const QList<QPair<ldns_rdf_type, QByteArray>> srv = {{LDNS_RDF_TYPE_INT16, "0"},
                                                         {LDNS_RDF_TYPE_INT16, "0"},
                                                         {LDNS_RDF_TYPE_INT16, port},
                                                         {LDNS_RDF_TYPE_DNAME, r.target}};
    const QList<QPair<ldns_rdf_type, QByteArray>> ptr = {{LDNS_RDF_TYPE_DNAME, r.instance}};
    const auto none = QList<QPair<ldns_rdf_type, QByteArray>>();
    bool ok = true;

    if (kind == UpdateKind::Claim) // RFC 2136 2.4.5: name is not in use
        ok &= push(prereqs.get(),
                   makeRr(r.instance, LDNS_RR_TYPE_ANY, LDNS_RR_CLASS_NONE, 0, none, error));
    // RFC 2136 2.4.2: our SRV, value for value, is there; so a removal never deletes
    // what another host registered under a name we lost.
    if (kind == UpdateKind::TakeOver || kind == UpdateKind::Remove)
        ok &= push(prereqs.get(),
                   makeRr(r.instance, LDNS_RR_TYPE_SRV, LDNS_RR_CLASS_IN, 0, srv, error));

    if (kind == UpdateKind::TakeOver || kind == UpdateKind::Remove)
        ok &= push(updates.get(),
                   makeRr(r.instance, LDNS_RR_TYPE_ANY, LDNS_RR_CLASS_ANY, 0, none, error));
    if (kind == UpdateKind::Remove)
        ok &= push(updates.get(),
                   makeRr(r.typeName, LDNS_RR_TYPE_PTR, LDNS_RR_CLASS_NONE, 0, ptr, error));
    if (kind == UpdateKind::Claim || kind == UpdateKind::TakeOver) {
        ok &= push(updates.get(),
                   makeRr(r.typeName, LDNS_RR_TYPE_PTR, LDNS_RR_CLASS_IN, r.ttl, ptr, error));
        ok &= push(updates.get(),
                   makeRr(r.instance, LDNS_RR_TYPE_SRV, LDNS_RR_CLASS_IN, r.ttl, srv, error));
        QList<QPair<ldns_rdf_type, QByteArray>> txt;
        for (const QByteArray &entry : r.txt)
            txt.append({LDNS_RDF_TYPE_STR, escaped(entry, "\"\\", false)});
        if (txt.isEmpty()) // RFC 6763 6.1: an empty TXT record holds one empty string
            txt.append({LDNS_RDF_TYPE_STR, QByteArray()});
        ok &= push(updates.get(),
                   makeRr(r.instance, LDNS_RR_TYPE_TXT, LDNS_RR_CLASS_IN, r.ttl, txt, error));
    }
    // The target's addresses are ours alone: replace them whole.
    ok &= push(updates.get(), makeRr(r.target, LDNS_RR_TYPE_A, LDNS_RR_CLASS_ANY, 0, none, error));
    ok &=
        push(updates.get(), makeRr(r.target, LDNS_RR_TYPE_AAAA, LDNS_RR_CLASS_ANY, 0, none, error));
    if (kind != UpdateKind::Remove) {
        for (const QHostAddress &a : r.addresses) {
            const bool v4 = a.protocol() == QAbstractSocket::IPv4Protocol;
            ok &= push(
                updates.get(),
                makeRr(r.target, v4 ? LDNS_RR_TYPE_A : LDNS_RR_TYPE_AAAA, LDNS_RR_CLASS_IN, r.ttl,
                       {{v4 ? LDNS_RDF_TYPE_A : LDNS_RDF_TYPE_AAAA, a.toString().toLatin1()}},
                       error));
        }
    }
    Rdf zone(ldns_dname_new_frm_str(r.zone.constData()));
    if (!ok || !zone)
        return out;

    Pkt pkt(ldns_update_pkt_new(zone.release(), LDNS_RR_CLASS_IN, prereqs.get(), updates.get(),
                                nullptr));
    if (!pkt)
        return out;
    ldns_pkt_set_rd(pkt.get(), false); // the Z bits of an update (RFC 2136 2.2)
    if (kind != UpdateKind::Remove) {
        // RFC 9664: how long the server may keep the records if we vanish.
        quint32 lease = qToBigEndian(r.lease);
        ldns_edns_option_list *options = ldns_edns_option_list_new();
        ldns_edns_option_list_push(options,
                                   ldns_edns_new_from_data(LDNS_EDNS_UL, sizeof lease, &lease));
        ldns_pkt_set_edns_udp_size(pkt.get(), EdnsUdpSize);
        ldns_pkt_set_edns_option_list(pkt.get(), options);
    }
    if (!finish(pkt.get(), key, &out, error))
        out.wire.clear();
    return out;
}

Reply classifyReply(const QByteArray &reply, const QByteArray &query)
{
    const auto *r = reinterpret_cast<const uint8_t *>(reply.constData());
    const auto *q = reinterpret_cast<const uint8_t *>(query.constData());
    if (reply.size() < 2 || query.size() < 2 || LDNS_ID_WIRE(r) != LDNS_ID_WIRE(q))
        return Reply::Stranger;
    ldns_pkt *raw = nullptr;
    if (reply.size() < LDNS_HEADER_SIZE || !LDNS_QR_WIRE(r) ||
        ldns_wire2pkt(&raw, r, size_t(reply.size())) != LDNS_STATUS_OK)
        return Reply::Malformed;
    ldns_pkt_free(raw);
    return LDNS_TC_WIRE(r) ? Reply::Truncated : Reply::Answer;
}

QByteArray framed(const QByteArray &wire)
{
    QByteArray out(2, '\0');
    qToBigEndian<quint16>(quint16(wire.size()), out.data());
    return out + wire;
}

bool takeFramed(QByteArray *stream, QByteArray *message)
{
    if (stream->size() < 2)
        return false;
    const int length = qFromBigEndian<quint16>(stream->constData());
    if (stream->size() < 2 + length)
        return false;
    *message = stream->mid(2, length);
    stream->remove(0, 2 + length);
    return true;
}

bool parseAnswer(const QByteArray &wire, const Outgoing &request, const TsigKey &key,
                 Answer *answer, QString *error)
{
    ldns_pkt *raw = nullptr;
    const auto *bytes = reinterpret_cast<const uint8_t *>(wire.constData());
    if (ldns_wire2pkt(&raw, bytes, size_t(wire.size())) != LDNS_STATUS_OK) {
        *error = QStringLiteral("malformed answer");
        return false;
    }
    Pkt pkt(raw);
    if (ldns_pkt_id(raw) != request.id || !ldns_pkt_qr(raw)) {
        *error = QStringLiteral("not an answer to our message");
        return false;
    }
    const ldns_rr *tsig = ldns_pkt_tsig(raw);
    // ldns takes a TSIG record that lacks fields, and then asserts on reading them.
    if (tsig && ldns_rr_rd_count(tsig) < 7) {
        *error = QStringLiteral("malformed answer");
        return false;
    }
    Answer a;
    a.rcode = ldns_pkt_get_rcode(raw);
    if (tsig) {
        if (const int tsigError = ldns_rdf2native_int16(ldns_rr_rdf(tsig, 5)))
            a.rcode = tsigError;
        // Only under our key's algorithm: ldns 1.8.3 loses the TSIG record (a leak per
        // answer) when it cannot compute a MAC with the algorithm the answer names.
        if (!key.isNull() && !request.requestMac.isEmpty() &&
            sameName(present(ldns_rr_rdf(tsig, 0)), key.algorithm)) {
            Rdf mac(ldns_rdf_new_frm_data(LDNS_RDF_TYPE_INT16_DATA,
                                          size_t(request.requestMac.size()),
                                          request.requestMac.constData()));
            a.verified = ldns_pkt_tsig_verify(raw, bytes, size_t(wire.size()), key.name.constData(),
                                              key.secret.constData(), mac.get());
        }
    }
    if (ldns_edns_option_list *options = ldns_pkt_edns_get_option_list(raw)) {
        for (size_t i = 0; i < ldns_edns_option_list_get_count(options); ++i) {
            const ldns_edns_option *o = ldns_edns_option_list_get_option(options, i);
            if (ldns_edns_get_code(o) == LDNS_EDNS_UL && ldns_edns_get_size(o) >= 4)
                a.lease = qFromBigEndian<quint32>(ldns_edns_get_data(o));
        }
    }
    a.answer = records(ldns_pkt_answer(raw));
    a.authority = records(ldns_pkt_authority(raw));
    a.additional = records(ldns_pkt_additional(raw));
    *answer = a;
    return true;
}

} // namespace Unicast
} // namespace QZeroConfInternal
