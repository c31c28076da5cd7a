#include "qzeroconf_p.h"

#include "browser_p.h"
#include "logging_p.h"
#include "responder_p.h"
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
    qCWarning(lcZeroConf).noquote() << QStringLiteral("publication of %1 failed: %2")
                                           .arg(quotedUtf8(publication->current().name), reason);
    // We are inside the publication's own signal: let the event loop delete it.
    publication->disconnect(q);
    publication.release()->deleteLater();
    wideArea.reset();
    TerminationGuard::release(q);
    emit q->error(QZeroConf::serviceRegistrationFailed);
}

void QZeroConfPrivate::withdraw()
{
    Q_Q(QZeroConf);
    if (!publication)
        return;
    // Freeing the publication withdraws it with goodbyes; the wide-area records are
    // deleted in the background, without waiting for the DNS server.
    publication.reset();
    wideArea.reset();
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

void QZeroConfPrivate::browserFailed(const QString &reason)
{
    Q_Q(QZeroConf);
    qCWarning(lcZeroConf).noquote() << QStringLiteral("browsing failed: %1").arg(reason);
    // We are inside the browser's own signal: let the event loop delete it.
    if (browser) {
        browser->disconnect(q);
        browser.release()->deleteLater();
    }
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
    if (d->publication) {
        d->refuse(
            QZeroConf::serviceRegistrationFailed,
            cannotPublish(name, QStringLiteral("this object already publishes %1; stop that first")
                                    .arg(quotedUtf8(d->publication->current().name))));
        return;
    }

    PublishRequest request;
    QString reason = makePublishRequest(name, type, host, port, d->txt, &request);
    if (!reason.isEmpty()) {
        d->refuse(QZeroConf::serviceRegistrationFailed, cannotPublish(name, reason));
        return;
    }

    d->publication = Responder::forThisThread()->publish(request);
    connect(d->publication.get(), &Publication::established, this, &QZeroConf::servicePublished);
    connect(d->publication.get(), &Publication::failed, this,
            [d](const QString &why) { d->publicationFailed(why); });
    // On a terminating signal every publication of the thread goes at once, so that the
    // mDNS goodbyes are out before the process ends; then the wide-area removals get
    // their answers, a second at most for all of them, before the signal ends it.
    TerminationGuard::hold(this, [d] {
        Responder::withdrawAllNow();
        d->withdraw();
        finishWideAreaRemovals();
    });
    d->wideArea = startWideArea(request, d->wideAreaSettings);
}

void QZeroConf::stopServicePublish()
{
    Q_D(QZeroConf);
    d->withdraw();
}

bool QZeroConf::publishExists() const
{
    Q_D(const QZeroConf);
    return d->publication != nullptr;
}

void QZeroConf::setRegistrationDomain(const QString &domain)
{
    Q_D(QZeroConf);
    d->wideAreaSettings.domain = domain.toUtf8();
}

void QZeroConf::setTsigKeyFile(const QString &path)
{
    Q_D(QZeroConf);
    d->wideAreaSettings.keyFile = path;
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
    int addressProtocol = AnyProtocol;
    if (protocol == QAbstractSocket::IPv4Protocol)
        addressProtocol = IPv4;
    else if (protocol == QAbstractSocket::IPv6Protocol)
        addressProtocol = IPv6;

    d->browser.reset(new Browser(Responder::forThisThread(), wireType, addressProtocol));
    connect(d->browser.get(), &Browser::resolved, this,
            [d](const QString &key, int source, const ResolvedService &s) {
                d->report(d->table.resolved(key, source, s), key);
            });
    connect(d->browser.get(), &Browser::lost, this,
            [d](const QString &key, int source) { d->report(d->table.lost(key, source), key); });
    connect(d->browser.get(), &Browser::failed, this,
            [d](const QString &why) { d->browserFailed(why); });
    d->browser->start();
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
