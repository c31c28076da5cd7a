#include "qzeroconf_p.h"

#include "avahi/avahipublisher_p.h"
#include "logging_p.h"
#include "terminationguard_p.h"

#include <QTimer>

using namespace QZeroConfInternal;

namespace {

QString describe(const char *name)
{
    return name ? QLatin1Char('"') + QString::fromUtf8(name) + QLatin1Char('"')
                : QStringLiteral("(null)");
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

void QZeroConfPrivate::refuse(const QString &what, const QString &reason)
{
    Q_Q(QZeroConf);
    qCWarning(lcZeroConf).noquote() << QStringLiteral("cannot publish %1: %2").arg(what, reason);
    QTimer::singleShot(0, q, [q] { emit q->error(QZeroConf::serviceRegistrationFailed); });
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

QZeroConf::QZeroConf(QObject *parent) : QObject(parent), d_ptr(new QZeroConfPrivate(this))
{
    registerMetaTypes();
}

QZeroConf::~QZeroConf()
{
    Q_D(QZeroConf);
    d->withdraw();
}

void QZeroConf::startServicePublish(const char *name, const char *type, const char *host,
                                    quint16 port)
{
    Q_D(QZeroConf);
    const QString what = describe(name);
    if (d->publisher) {
        d->refuse(what, QStringLiteral("this object already publishes \"%1\"; stop that first")
                            .arg(QString::fromUtf8(d->publisher->serviceName())));
        return;
    }

    ServiceSpec spec;
    QString reason = makeServiceSpec(name, type, host, port, d->txt, &spec);
    if (!reason.isEmpty()) {
        d->refuse(what, reason);
        return;
    }

    std::unique_ptr<AvahiPublisher> publisher(new AvahiPublisher(spec));
    connect(publisher.get(), &AvahiPublisher::established, this, &QZeroConf::servicePublished);
    connect(publisher.get(), &AvahiPublisher::failed, this,
            [d](const QString &why) { d->publicationFailed(why); });
    if (!publisher->start(&reason)) {
        d->refuse(what, reason);
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
