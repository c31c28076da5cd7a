#ifndef QZEROCONF_PUBLISHREQUEST_P_H
#define QZEROCONF_PUBLISHREQUEST_P_H

#include <QByteArray>
#include <QList>
#include <QString>

namespace QZeroConfInternal {

// Limits of the wire format (RFC 1035 labels, RFC 6763 section 6).
constexpr int MaxLabelBytes = 63;
constexpr int MaxTxtStringBytes = 255;
constexpr int MaxServiceNameChars = 15;
// The whole TXT record has to fit one mDNS packet (9000 bytes, RFC 6762 section 17)
// together with the question and the other records of an answer.
constexpr int MaxTxtRecordBytes = 8900;

struct TxtEntry
{
    QString key;
    QString value;
    bool hasValue = true;
};

// A publish request, checked and in wire form.
struct PublishRequest
{
    QByteArray name;      // instance name, UTF-8
    QByteArray type;      // "_name._tcp" or "_name._udp", without the domain
    QByteArray hostLabel; // SRV target label; empty means this machine's own host name
    quint16 port = 0;
    QList<QByteArray> txt; // "key=value" or "key", in the order they were added
};

// Checks a request and fills *request. Returns an empty string on success, otherwise
// one sentence that names what is wrong and the limit it breaks.
QString makePublishRequest(const char *name, const char *type, const char *host, quint16 port,
                           const QList<TxtEntry> &txt, PublishRequest *request);

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
