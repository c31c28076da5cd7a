// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_PUBLISHREQUEST_P_H
#define QZEROCONF_PUBLISHREQUEST_P_H

#include "engine_p.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace QZeroConfInternal {

// Limits of the wire format (RFC 1035 labels, RFC 6763 section 6).
constexpr int MaxLabelBytes = 63;
constexpr int MaxTxtStringBytes = 255;
constexpr int MaxServiceNameChars = 15;
// The whole TXT record has to fit one mDNS packet (9000 bytes, RFC 6762 section 17)
// together with the question and the other records of an answer.
constexpr int MaxTxtRecordBytes = 8900;

// TXT entries as the application adds them, put in wire form at once, "key=value" or
// "key" in UTF-8: kept once, and shared by the request and what is announced. A print
// server holds a thousand of them.
class TxtEntries
{
public:
    // A null value adds the key alone.
    void add(const QString &key, const QString *value);
    void clear() { *this = TxtEntries(); }
    // The strings in the order they were added into *out, or why they cannot go out: the
    // first entry that is wrong, else the size of them all.
    QString check(TxtRecord *out) const;

private:
    TxtRecord m_record; // the entries that can go out
    QString m_problem;  // about the first one that cannot
};

// A service type with the subtypes it is also announced under (RFC 6763 section 7.1),
// and the port of the instance under it.
struct ServiceType
{
    QByteArray type;            // "_name._tcp" or "_name._udp", without the domain
    QList<QByteArray> subtypes; // labels such as "_universal", without "._sub"
    quint16 port = 0;

    bool operator==(const ServiceType &o) const
    {
        return type == o.type && subtypes == o.subtypes && port == o.port;
    }
};

// A publish request, checked and in wire form.
struct PublishRequest
{
    QByteArray name;      // instance name, UTF-8
    QByteArray type;      // the first type, "_name._tcp" or "_name._udp"
    QByteArray hostLabel; // SRV target label; empty means this machine's own host name
    quint16 port = 0;
    TxtRecord txt;              // "key=value" or "key", in the order they were added
    QList<QByteArray> subtypes; // of the first type
    // Further types under the same name and TXT, probed and renamed with the first.
    QList<ServiceType> moreTypes;
    // Interface indexes to announce on; empty: all.
    QList<int> interfaces;

    // Every type, the first one first.
    QList<ServiceType> allTypes() const
    {
        QList<ServiceType> all{ServiceType{type, subtypes, port}};
        return all + moreTypes;
    }
};

// Checks a request and fills *request. Returns an empty string on success, otherwise
// one sentence that names what is wrong and the limit it breaks. type may carry
// subtypes, as "_ipp._tcp,_universal,_print"; so may each of moreTypes.
QString makePublishRequest(const char *name, const char *type, const char *host, quint16 port,
                           const TxtEntries &txt, PublishRequest *request,
                           const QList<QPair<QByteArray, quint16>> &moreTypes = {});

// A type with its subtypes, "_ipp._tcp,_universal,_print", into *wire and *subtypes.
QString checkServiceTypeWithSubtypes(const QByteArray &type, QByteArray *wire,
                                     QList<QByteArray> *subtypes);

// The host argument as a single label: "" for this machine's name, or the label of
// "label", "label.", "label.local" and "label.local.". Sets *error when it is not one.
QByteArray hostLabelFromArgument(const QByteArray &host, QString *error);

// A service type as "_name._tcp" or "_name._udp" (a trailing ".local" or ".local." is
// dropped) into *wire. Returns an empty string, or why the type is not valid.
QString checkServiceType(QByteArray type, QByteArray *wire);

bool isValidUtf8(const QByteArray &bytes);

// UTF-8 text in double quotes, as names stand in messages.
QString quotedUtf8(const QByteArray &utf8);

} // namespace QZeroConfInternal

#endif
