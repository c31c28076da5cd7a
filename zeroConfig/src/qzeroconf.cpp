#include "qzeroconf_p.h"

#include "avahi/avahibrowser_p.h"
#include "avahi/avahipublisher_p.h"
#include "logging_p.h"
#include "terminationguard_p.h"

#include <QTimer>

using namespace QZeroConfInternal;

namespace {

QString describe(const char *name)
{
    return name ? quotedUtf8(name) : QStringLiteral("(null)");
}

QString cannotPublish(const char *name, const QString &reason)
{
    return QStringLiteral("cannot publish %1: %2").arg(describe(name), reason);
}

void registerMetaTypes()
{
    static const int service = qRegisterMetaType<QZeroConfService>("QZeroConfService");
    static const int error = qRegisterMetaType<QZeroConf::error_t>("QZeroConf::error_t");
    Q_UNUSED(service)
    Q_UNUSED(error)
}

} // namespace

QZeroConfPrivate::QZeroConfPrivate(QZeroConf *q) : q_ptr(q) {}

QZeroConfPrivate::~QZeroConfPrivate() = default;

void QZeroConfPrivate::refuse(QZeroConf::error_t code, const QString &message)
{
    Q_Q(QZeroConf);
    qCWarning(lcZeroConf).noquote() << message;
    QTimer::singleShot(0, q, [q, code] { emit q->error(code); });
}

void QZeroConfPrivate::publicationFailed(const QString &reason)
{
    Q_Q(QZeroConf);
    const QByteArray name = publisher->serviceName();
    qCWarning(lcZeroConf).noquote()
        << QStringLiteral("publication of \"%1\" failed: %2").arg(QString::fromUtf8(name), reason);
    // We are inside the publisher's own signal: let the event loop delete it.
    publisher.release()->deleteLater();
    TerminationGuard::release(q);
    emit q->error(QZeroConf::serviceRegistrationFailed);
}

void QZeroConfPrivate::withdraw()
{
    Q_Q(QZeroConf);
    if (!publisher)
        return;
    // Deleting the publisher frees its responder, which sends the goodbyes now.
    publisher.reset();
    TerminationGuard::release(q);
}

void QZeroConfPrivate::report(ServiceTable::Change change, const QString &instanceKey)
{
    Q_Q(QZeroConf);
    if (change == ServiceTable::Removed) {
        const QZeroConfService gone = services.take(instanceKey);
        if (gone)
            emit q->serviceRemoved(gone);
        return;
    }
    if (change != ServiceTable::Added && change != ServiceTable::Updated)
        return;
    // An update changes the record handed out before, so every holder sees it.
    QZeroConfService &record = services[instanceKey];
    if (!record)
        record = QZeroConfService::create();
    const ResolvedService now = table.current(instanceKey);
    record->m_name = now.name;
    record->m_type = now.type;
    record->m_domain = now.domain;
    record->m_host = now.host;
    record->m_ip = now.ip;
    record->m_interfaceIndex = now.interfaceIndex;
    record->m_port = now.port;
    record->m_txt = now.txt;
    const QZeroConfService copy = record;
    if (change == ServiceTable::Added)
        emit q->serviceAdded(copy);
    else
        emit q->serviceUpdated(copy);
}

void QZeroConfPrivate::browserResolved(const QString &instanceKey, int source,
                                       const ResolvedService &service)
{
    report(table.resolved(instanceKey, source, service), instanceKey);
}

void QZeroConfPrivate::browserLost(const QString &instanceKey, int source)
{
    report(table.lost(instanceKey, source), instanceKey);
}

void QZeroConfPrivate::browserFailed(const QString &reason)
{
    Q_Q(QZeroConf);
    qCWarning(lcZeroConf).noquote() << QStringLiteral("browsing failed: %1").arg(reason);
    // We are inside the browser's own signal: let the event loop delete it.
    browser.release()->deleteLater();
    dropBrowser();
    emit q->error(QZeroConf::browserFailed);
}

void QZeroConfPrivate::dropBrowser()
{
    browser.reset();
    table.clear();
    services.clear();
}

QZeroConf::QZeroConf(QObject *parent) : QObject(parent), d_ptr(new QZeroConfPrivate(this))
{
    registerMetaTypes();
}

QZeroConf::~QZeroConf()
{
    Q_D(QZeroConf);
    d->withdraw();
    d->dropBrowser();
}

void QZeroConf::startServicePublish(const char *name, const char *type, const char *host,
                                    quint16 port)
{
    Q_D(QZeroConf);
    if (d->publisher) {
        d->refuse(
            QZeroConf::serviceRegistrationFailed,
            cannotPublish(name, QStringLiteral("this object already publishes %1; stop that first")
                                    .arg(quotedUtf8(d->publisher->serviceName()))));
        return;
    }

    PublishRequest request;
    QString reason = makePublishRequest(name, type, host, port, d->txt, &request);
    if (!reason.isEmpty()) {
        d->refuse(QZeroConf::serviceRegistrationFailed, cannotPublish(name, reason));
        return;
    }

    std::unique_ptr<AvahiPublisher> publisher(new AvahiPublisher(request));
    connect(publisher.get(), &AvahiPublisher::established, this, &QZeroConf::servicePublished);
    connect(publisher.get(), &AvahiPublisher::failed, this,
            [d](const QString &why) { d->publicationFailed(why); });
    if (!publisher->start(&reason)) {
        d->refuse(QZeroConf::serviceRegistrationFailed, cannotPublish(name, reason));
        return;
    }
    d->publisher = std::move(publisher);
    TerminationGuard::hold(this, [d] { d->withdraw(); });
}

void QZeroConf::stopServicePublish()
{
    Q_D(QZeroConf);
    d->withdraw();
}

bool QZeroConf::publishExists() const
{
    Q_D(const QZeroConf);
    return d->publisher != nullptr;
}

void QZeroConf::addServiceTxtRecord(QString nameOnly)
{
    Q_D(QZeroConf);
    TxtEntry entry;
    entry.key = nameOnly;
    entry.hasValue = false;
    d->txt.append(entry);
}

void QZeroConf::addServiceTxtRecord(QString name, QString value)
{
    Q_D(QZeroConf);
    TxtEntry entry;
    entry.key = name;
    entry.value = value;
    d->txt.append(entry);
}

void QZeroConf::clearServiceTxtRecords()
{
    Q_D(QZeroConf);
    d->txt.clear();
}

void QZeroConf::startBrowser(QString type)
{
    startBrowser(type, QAbstractSocket::AnyIPProtocol);
}

void QZeroConf::startBrowser(QString type, QAbstractSocket::NetworkLayerProtocol protocol)
{
    Q_D(QZeroConf);
    if (d->browser) {
        d->refuse(QZeroConf::browserFailed,
                  QStringLiteral("cannot browse: this object already browses; stop that first"));
        return;
    }
    QByteArray wireType;
    QString reason = checkServiceType(type.toUtf8(), &wireType);
    if (!reason.isEmpty()) {
        d->refuse(QZeroConf::browserFailed, QStringLiteral("cannot browse: %1").arg(reason));
        return;
    }
    AvahiProtocol avahiProtocol = AVAHI_PROTO_UNSPEC;
    if (protocol == QAbstractSocket::IPv4Protocol)
        avahiProtocol = AVAHI_PROTO_INET;
    else if (protocol == QAbstractSocket::IPv6Protocol)
        avahiProtocol = AVAHI_PROTO_INET6;

    std::unique_ptr<AvahiBrowser> browser(new AvahiBrowser(wireType, avahiProtocol));
    connect(browser.get(), &AvahiBrowser::resolved, this,
            [d](const QString &key, int source, const ResolvedService &s) {
                d->browserResolved(key, source, s);
            });
    connect(browser.get(), &AvahiBrowser::lost, this,
            [d](const QString &key, int source) { d->browserLost(key, source); });
    connect(browser.get(), &AvahiBrowser::failed, this,
            [d](const QString &why) { d->browserFailed(why); });
    if (!browser->start(&reason)) {
        d->refuse(QZeroConf::browserFailed, QStringLiteral("cannot browse: %1").arg(reason));
        return;
    }
    d->browser = std::move(browser);
}

void QZeroConf::stopBrowser()
{
    Q_D(QZeroConf);
    d->dropBrowser();
}

bool QZeroConf::browserExists() const
{
    Q_D(const QZeroConf);
    return d->browser != nullptr;
}
