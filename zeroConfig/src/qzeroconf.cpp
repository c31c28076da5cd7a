#include "qzeroconf_p.h"

#include "avahi/avahibrowser_p.h"
#include "avahi/avahipublisher_p.h"
#include "avahi/daemonbackend_p.h"
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

QZeroConfPrivate::QZeroConfPrivate(QZeroConf *q) : q_ptr(q)
{
    // RFC 6762 section 15: one responder per host. Where the host runs one, use it.
    QString why;
    const QString daemon = probeDaemon(&why);
    useDaemon = !daemon.isEmpty();
    if (useDaemon)
        qCDebug(lcZeroConf).noquote()
            << QStringLiteral("using the host's mDNS daemon (%1)").arg(daemon);
    else
        qCDebug(lcZeroConf).noquote()
            << QStringLiteral("no mDNS daemon answers (%1); using the embedded responder").arg(why);
}

QZeroConfPrivate::~QZeroConfPrivate() = default;

void QZeroConfPrivate::refuse(QZeroConf::error_t code, const QString &message)
{
    Q_Q(QZeroConf);
    qCWarning(lcZeroConf).noquote() << message;
    QTimer::singleShot(0, q, [q, code] { emit q->error(code); });
}

bool QZeroConfPrivate::attachPublisher(std::unique_ptr<Publisher> p, QString *error)
{
    Q_Q(QZeroConf);
    QObject::connect(p.get(), &Publisher::established, q, &QZeroConf::servicePublished);
    QObject::connect(p.get(), &Publisher::failed, q, [this](const QString &why) {
        publicationFailed(publisher->current().name, why);
    });
    QObject::connect(p.get(), &Publisher::responderGone, q, [this] { publisherLostResponder(); });
    if (!p->start(error))
        return false;
    publisher = std::move(p);
    return true;
}

bool QZeroConfPrivate::publish(const PublishRequest &request, QString *error)
{
    if (useDaemon) {
        if (attachPublisher(newDaemonPublisher(request), error))
            return true;
        qCDebug(lcZeroConf).noquote()
            << QStringLiteral("%1; using the embedded responder").arg(*error);
        useDaemon = false;
    }
    return attachPublisher(std::unique_ptr<Publisher>(new AvahiPublisher(request)), error);
}

void QZeroConfPrivate::publisherLostResponder()
{
    Q_Q(QZeroConf);
    // We are inside the old publisher's own signal: let the event loop delete it, and
    // hear nothing more from it meanwhile.
    const PublishRequest current = publisher->current();
    publisher->disconnect(q);
    publisher.release()->deleteLater();
    useDaemon = false;
    QString error;
    if (!publish(current, &error))
        publicationFailed(current.name, error);
}

void QZeroConfPrivate::publicationFailed(const QByteArray &name, const QString &reason)
{
    Q_Q(QZeroConf);
    qCWarning(lcZeroConf).noquote()
        << QStringLiteral("publication of \"%1\" failed: %2").arg(QString::fromUtf8(name), reason);
    // We may be inside the publisher's own signal: let the event loop delete it.
    if (publisher) {
        publisher->disconnect(q);
        publisher.release()->deleteLater();
    }
    wideArea.reset();
    TerminationGuard::release(q);
    emit q->error(QZeroConf::serviceRegistrationFailed);
}

void QZeroConfPrivate::withdraw()
{
    Q_Q(QZeroConf);
    if (!publisher)
        return;
    // Deleting the publisher frees its responder, which sends the goodbyes now; then
    // the wide-area records go (that may wait on a DNS server, so it comes second).
    publisher.reset();
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
    // We may be inside the browser's own signal: let the event loop delete it.
    if (browser) {
        browser->disconnect(q);
        browser.release()->deleteLater();
    }
    dropBrowser();
    emit q->error(QZeroConf::browserFailed);
}

bool QZeroConfPrivate::attachBrowser(std::unique_ptr<Browser> b, QString *error)
{
    Q_Q(QZeroConf);
    QObject::connect(b.get(), &Browser::resolved, q,
                     [this](const QString &key, int source, const ResolvedService &s) {
                         browserResolved(key, source, s);
                     });
    QObject::connect(b.get(), &Browser::lost, q,
                     [this](const QString &key, int source) { browserLost(key, source); });
    QObject::connect(b.get(), &Browser::failed, q,
                     [this](const QString &why) { browserFailed(why); });
    QObject::connect(b.get(), &Browser::responderGone, q, [this] { browserLostResponder(); });
    if (!b->start(error))
        return false;
    browser = std::move(b);
    return true;
}

void QZeroConfPrivate::browserLostResponder()
{
    // What the old browser had found stays reported until the new one has looked.
    Q_Q(QZeroConf);
    const QVector<Browser::Source> known = browser->sources();
    browser->disconnect(q);
    browser.release()->deleteLater();
    useDaemon = false;
    QString error;
    if (!browse(known, &error))
        browserFailed(error);
}

bool QZeroConfPrivate::browse(const QVector<Browser::Source> &known, QString *error)
{
    const AvahiProtocol protocol = AvahiProtocol(browseProtocol);
    if (useDaemon) {
        std::unique_ptr<Browser> b = newDaemonBrowser(browseType, protocol);
        b->expectAgain(known);
        if (attachBrowser(std::move(b), error))
            return true;
        qCDebug(lcZeroConf).noquote()
            << QStringLiteral("%1; using the embedded responder").arg(*error);
        useDaemon = false;
    }
    std::unique_ptr<Browser> b(new AvahiBrowser(browseType, protocol));
    b->expectAgain(known);
    return attachBrowser(std::move(b), error);
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
                                    .arg(quotedUtf8(d->publisher->current().name))));
        return;
    }

    PublishRequest request;
    QString reason = makePublishRequest(name, type, host, port, d->txt, &request);
    if (!reason.isEmpty()) {
        d->refuse(QZeroConf::serviceRegistrationFailed, cannotPublish(name, reason));
        return;
    }

    if (!d->publish(request, &reason)) {
        d->refuse(QZeroConf::serviceRegistrationFailed, cannotPublish(name, reason));
        return;
    }
    TerminationGuard::hold(this, [d] { d->withdraw(); });
    d->wideArea.reset(new Unicast::WideAreaRegistration(request, d->wideAreaSettings));
    d->wideArea->start();
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
    AvahiProtocol avahiProtocol = AVAHI_PROTO_UNSPEC;
    if (protocol == QAbstractSocket::IPv4Protocol)
        avahiProtocol = AVAHI_PROTO_INET;
    else if (protocol == QAbstractSocket::IPv6Protocol)
        avahiProtocol = AVAHI_PROTO_INET6;

    d->browseType = wireType;
    d->browseProtocol = avahiProtocol;
    if (!d->browse({}, &reason))
        d->refuse(QZeroConf::browserFailed, QStringLiteral("cannot browse: %1").arg(reason));
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
