// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "qzeroconf_p.h"

#include "browser_p.h"
#include "logging_p.h"
#include "responder_p.h"
#include "terminationguard_p.h"

#include <QTimer>

#include <algorithm>

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
    errorString = message;
    QTimer::singleShot(0, q, [q, code] { emit q->error(code); });
}

void QZeroConfPrivate::publicationFailed(QZeroConf::error_t code, const QString &reason)
{
    Q_Q(QZeroConf);
    errorString = QStringLiteral("publication of %1 failed: %2")
                      .arg(quotedUtf8(publication->current().name), reason);
    qCWarning(lcZeroConf).noquote() << errorString;
    // Told from the responder's event, which forgets a publication deleted meanwhile.
    publication.reset();
    wideArea.reset();
    TerminationGuard::release(q);
    emit q->error(code);
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
    // A new snapshot each time: what was handed out before never changes under its
    // holders, which may be on other threads.
    const ResolvedService now = table.current(instanceKey);
    QZeroConfService snapshot = QZeroConfService::create();
    snapshot->m_name = now.name;
    snapshot->m_type = now.type;
    snapshot->m_domain = now.domain;
    snapshot->m_host = now.host;
    snapshot->m_ip = now.ip;
    snapshot->m_interfaceIndex = now.interfaceIndex;
    snapshot->m_port = now.port;
    snapshot->m_txt = now.txt;
    services.insert(instanceKey, snapshot);
    if (change == ServiceTable::Added)
        emit q->serviceAdded(snapshot);
    else
        emit q->serviceUpdated(snapshot);
}

void QZeroConfPrivate::browserFailed(const QString &reason)
{
    Q_Q(QZeroConf);
    errorString = QStringLiteral("browsing failed: %1").arg(reason);
    qCWarning(lcZeroConf).noquote() << errorString;
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
    QString reason = makePublishRequest(name, type, host, port, d->txt, &request, d->moreTypes);
    if (reason.isEmpty())
        reason = d->interfaceProblem;
    if (!reason.isEmpty()) {
        d->refuse(QZeroConf::serviceRegistrationFailed, cannotPublish(name, reason));
        return;
    }
    request.interfaces = d->interfaces;

    d->errorString.clear();
    d->publication = Responder::forThisThread()->publish(request);
    d->publication->setListener([d](Publication::Outcome outcome, const QString &why) {
        switch (outcome) {
        case Publication::Outcome::Established:
            emit d->q_func()->servicePublished();
            break;
        case Publication::Outcome::Failed:
            d->publicationFailed(QZeroConf::serviceRegistrationFailed, why);
            break;
        case Publication::Outcome::GaveUp:
            d->publicationFailed(QZeroConf::serviceNameCollision, why);
            break;
        }
    });
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

QString QZeroConf::publishedName() const
{
    Q_D(const QZeroConf);
    if (!d->publication || d->publication->state() != ClaimState::Established)
        return QString();
    return QString::fromUtf8(d->publication->current().name);
}

QString QZeroConf::errorString() const
{
    Q_D(const QZeroConf);
    return d->errorString;
}

void QZeroConf::addServiceType(const char *type, quint16 port)
{
    Q_D(QZeroConf);
    d->moreTypes.append(qMakePair(QByteArray(type ? type : ""), port));
}

void QZeroConf::clearServiceTypes()
{
    Q_D(QZeroConf);
    d->moreTypes.clear();
}

void QZeroConf::setNetworkInterfaces(const QList<QNetworkInterface> &interfaces)
{
    Q_D(QZeroConf);
    d->interfaces.clear();
    d->interfaceProblem.clear();
    for (const QNetworkInterface &i : interfaces) {
        if (!i.isValid())
            d->interfaceProblem =
                QStringLiteral("an interface given to setNetworkInterfaces() does not exist");
        else if (!d->interfaces.contains(i.index()))
            d->interfaces.append(i.index());
    }
}

void QZeroConf::updateServiceTxtRecords()
{
    Q_D(QZeroConf);
    if (!d->publication)
        return; // the entries go out with the next startServicePublish
    TxtRecord wire;
    const QString reason = d->txt.check(&wire);
    if (!reason.isEmpty()) {
        d->refuse(QZeroConf::serviceRegistrationFailed,
                  QStringLiteral("cannot update the TXT record of %1: %2; the one announced "
                                 "stays as it was")
                      .arg(quotedUtf8(d->publication->current().name), reason));
        return;
    }
    d->publication->updateTxt(wire);
}

void QZeroConf::setRegistrationDomain(const QString &domain)
{
    Q_D(QZeroConf);
    d->wideAreaSettings.domain = domain.toUtf8();
}

void QZeroConf::setBrowseDomains(const QStringList &domains)
{
    Q_D(QZeroConf);
    d->wideAreaBrowse.domains.clear();
    d->browseDomainProblem.clear();
    for (const QString &domain : domains) {
        // As a DNS name holds it (RFC 1035 section 2.3.4): 63 bytes a label, 253 in all.
        QByteArray name = domain.toUtf8();
        if (name.endsWith('.'))
            name.chop(1);
        const QList<QByteArray> labels = name.split('.');
        const bool emptyLabel = std::any_of(labels.begin(), labels.end(),
                                            [](const QByteArray &l) { return l.isEmpty(); });
        const bool longLabel = std::any_of(labels.begin(), labels.end(), [](const QByteArray &l) {
            return l.size() > MaxLabelBytes;
        });
        if (emptyLabel || longLabel || name.size() > 253) {
            d->browseDomainProblem =
                QStringLiteral("the browse domain %1 is no domain name (a label of 1 to 63 bytes, "
                               "at most 253 bytes in all)")
                    .arg(quotedUtf8(domain.toUtf8()));
            return;
        }
        d->wideAreaBrowse.domains.append(name);
    }
}

void QZeroConf::setWideAreaBrowsing(bool enabled)
{
    Q_D(QZeroConf);
    d->wideAreaBrowse.enabled = enabled;
}

void QZeroConf::setTsigKeyFile(const QString &path)
{
    Q_D(QZeroConf);
    d->wideAreaSettings.keyFile = path;
}

void QZeroConf::addServiceTxtRecord(QString nameOnly)
{
    Q_D(QZeroConf);
    d->txt.add(nameOnly, nullptr);
}

void QZeroConf::addServiceTxtRecord(QString name, QString value)
{
    Q_D(QZeroConf);
    d->txt.add(name, &value);
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
    QList<QByteArray> subtypes;
    QString reason = checkServiceTypeWithSubtypes(type.toUtf8(), &wireType, &subtypes);
    if (reason.isEmpty())
        reason = d->interfaceProblem;
    if (reason.isEmpty())
        reason = d->browseDomainProblem;
    if (reason.isEmpty() && subtypes.size() > 1)
        reason = QStringLiteral("a browser looks for one subtype at a time, not %1")
                     .arg(subtypes.size());
    if (!reason.isEmpty()) {
        d->refuse(QZeroConf::browserFailed, QStringLiteral("cannot browse: %1").arg(reason));
        return;
    }
    // RFC 6763 section 7.1: the instances of a subtype are listed under
    // "_subtype._sub._type._proto".
    if (!subtypes.isEmpty())
        wireType = subtypes.first() + "._sub." + wireType;
    d->errorString.clear();
    int addressProtocol = AnyProtocol;
    if (protocol == QAbstractSocket::IPv4Protocol)
        addressProtocol = IPv4;
    else if (protocol == QAbstractSocket::IPv6Protocol)
        addressProtocol = IPv6;

    d->browser.reset(
        new Browser(Responder::forThisThread(), wireType, addressProtocol, d->interfaces));
    WideAreaBrowseSettings wideArea = d->wideAreaBrowse;
    wideArea.registrationDomain = d->wideAreaSettings.domain;
    d->browser->setWideArea(wideArea);
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
