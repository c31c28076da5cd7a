#ifndef QZEROCONF_P_H
#define QZEROCONF_P_H

#include "../qzeroconf"
#include "publishrequest_p.h"
#include "servicetable_p.h"
#include "unicast/widearea_p.h"

#include <QHash>
#include <QList>

#include <memory>

namespace QZeroConfInternal {
class Browser;
class Publisher;
} // namespace QZeroConfInternal

class QZeroConfPrivate
{
    Q_DECLARE_PUBLIC(QZeroConf)

public:
    explicit QZeroConfPrivate(QZeroConf *q);
    ~QZeroConfPrivate();

    // Reports a request that never got going: one warning, and the error signal from
    // the event loop, after the caller's call has returned.
    void refuse(QZeroConf::error_t code, const QString &message);

    // Publishing and browsing go through the host's mDNS daemon when one answered at
    // construction, through an embedded responder otherwise, and from then on when the
    // daemon went away for good.
    bool attachPublisher(std::unique_ptr<QZeroConfInternal::Publisher> p, QString *error);
    bool publish(const QZeroConfInternal::PublishRequest &request, QString *error);
    void publicationFailed(const QByteArray &name, const QString &reason);
    void publisherLostResponder();
    void withdraw();

    bool attachBrowser(std::unique_ptr<QZeroConfInternal::Browser> b, QString *error);
    // A browser for browseType, told what an earlier one had found.
    bool browse(const QVector<QPair<QString, int>> &known, QString *error);
    void browserLostResponder();

    void browserResolved(const QString &instanceKey, int source,
                         const QZeroConfInternal::ResolvedService &service);
    void browserLost(const QString &instanceKey, int source);
    void browserFailed(const QString &reason);
    void report(QZeroConfInternal::ServiceTable::Change change, const QString &instanceKey);
    void dropBrowser();

    QZeroConf *q_ptr;
    bool useDaemon = false;
    QList<QZeroConfInternal::TxtEntry> txt;
    std::unique_ptr<QZeroConfInternal::Publisher> publisher;
    // The same publication in the site's DNS, beside the mDNS one; never instead of it.
    QZeroConfInternal::Unicast::WideAreaSettings wideAreaSettings;
    std::unique_ptr<QZeroConfInternal::Unicast::WideAreaRegistration> wideArea;

    std::unique_ptr<QZeroConfInternal::Browser> browser;
    QByteArray browseType;
    int browseProtocol = 0; // AvahiProtocol
    QZeroConfInternal::ServiceTable table;
    QHash<QString, QZeroConfService> services; // the records handed out, by instance
};

#endif
