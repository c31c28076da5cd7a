#include "browser_p.h"

#include "../logging_p.h"

#include <QNetworkInterface>
#include <QTimer>
#include <QtEndian>

using namespace QZeroConfInternal;

namespace {

int sourceOf(AvahiIfIndex interface, AvahiProtocol protocol)
{
    return int(interface) * 2 + (protocol == AVAHI_PROTO_INET6);
}

QString instanceKeyOf(const char *name, const char *type, const char *domain)
{
    return QString::fromUtf8(name) + QLatin1Char('\n') + QString::fromUtf8(type) +
           QLatin1Char('\n') + QString::fromUtf8(domain);
}

QString resolverKeyOf(const QString &instanceKey, int source)
{
    return instanceKey + QLatin1Char('\n') + QString::number(source);
}

QHostAddress hostAddress(const AvahiAddress &a, AvahiIfIndex interface)
{
    if (a.proto == AVAHI_PROTO_INET)
        return QHostAddress(qFromBigEndian<quint32>(&a.data.ipv4.address));
    QHostAddress address(a.data.ipv6.address);
    // A link-local address is of no use without the link it belongs to.
    if (address.isInSubnet(QHostAddress(QStringLiteral("fe80::")), 10)) {
        QString scope = QNetworkInterface::interfaceNameFromIndex(interface);
        address.setScopeId(scope.isEmpty() ? QString::number(interface) : scope);
    }
    return address;
}

QList<QByteArray> txtStrings(AvahiStringList *txt)
{
    // Avahi keeps the strings last-first.
    QList<QByteArray> strings;
    for (AvahiStringList *s = txt; s; s = avahi_string_list_get_next(s))
        strings.prepend(QByteArray(reinterpret_cast<const char *>(avahi_string_list_get_text(s)),
                                   int(avahi_string_list_get_size(s))));
    return strings;
}

} // namespace

Browser::Browser(const QByteArray &type, AvahiProtocol protocol, QObject *parent)
    : QObject(parent), m_type(type), m_protocol(protocol)
{
    qRegisterMetaType<ResolvedService>();
}

void Browser::browsed(AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                      const char *name, const char *type, const char *domain)
{
    if (event == AVAHI_BROWSER_FAILURE) {
        const QString reason = engineError();
        QTimer::singleShot(0, this, [this, reason] {
            if (engineAlive())
                emit failed(reason);
        });
        return;
    }
    if (event == AVAHI_BROWSER_ALL_FOR_NOW) {
        const QSet<Source> stale = m_stale;
        m_stale.clear();
        for (const Source &s : stale)
            QTimer::singleShot(0, this, [this, s] { emit lost(s.first, s.second); });
        return;
    }
    if (event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE)
        return;
    const QString instanceKey = instanceKeyOf(name, type, domain);
    const int source = sourceOf(interface, protocol);
    m_stale.remove(Source(instanceKey, source));
    const QString key = resolverKeyOf(instanceKey, source);
    if (event == AVAHI_BROWSER_REMOVE) {
        dropResolver(key);
        QTimer::singleShot(0, this,
                           [this, instanceKey, source] { emit lost(instanceKey, source); });
        return;
    }
    if (m_resolvers.contains(key))
        return;
    auto *r = new Resolver{this, instanceKey, source};
    // The resolver stays: it reports again whenever the service's records change.
    r->handle = newResolver(interface, protocol, name, type, domain, r);
    if (!r->handle) {
        qCDebug(lcZeroConf) << "cannot resolve" << name << ":" << engineError();
        delete r;
        return;
    }
    m_resolvers.insert(key, r);
}

void Browser::resolvedBy(Resolver *r, AvahiIfIndex interface, AvahiResolverEvent event,
                         const char *name, const char *type, const char *domain,
                         const char *hostName, const AvahiAddress *address, uint16_t port,
                         AvahiStringList *txt)
{
    const QString instanceKey = r->instanceKey;
    const int source = r->source;
    if (event != AVAHI_RESOLVER_FOUND || !hostName || !address || !name || !type || !domain) {
        // Timed out or gone: nothing half-resolved is ever reported. The browser tells
        // when the instance itself goes.
        qCDebug(lcZeroConf) << "resolving" << name << "failed";
        QTimer::singleShot(0, this, [this, instanceKey, source] {
            if (engineAlive())
                emit lost(instanceKey, source);
        });
        return;
    }
    qCDebug(lcZeroConf) << "resolved" << name << "on interface" << interface << "at" << hostName
                        << port;
    ResolvedService s;
    s.name = QString::fromUtf8(name);
    s.type = QString::fromUtf8(type);
    s.domain = QString::fromUtf8(domain);
    s.host = QString::fromUtf8(hostName);
    s.ip = hostAddress(*address, interface);
    s.interfaceIndex = quint32(interface);
    s.port = port;
    s.txt = txtMap(txtStrings(txt));
    QTimer::singleShot(0, this,
                       [this, instanceKey, source, s] { emit resolved(instanceKey, source, s); });
}

void Browser::dropResolver(const QString &key)
{
    if (Resolver *r = m_resolvers.take(key)) {
        freeResolver(r->handle);
        delete r;
    }
}

void Browser::dropResolvers()
{
    for (Resolver *r : qAsConst(m_resolvers)) {
        freeResolver(r->handle);
        delete r;
    }
    m_resolvers.clear();
}

void Browser::forgetResolvers()
{
    for (const Resolver *r : qAsConst(m_resolvers))
        m_stale.insert(Source(r->instanceKey, r->source));
    dropResolvers();
}

QVector<Browser::Source> Browser::sources() const
{
    QVector<Source> result;
    for (const Resolver *r : m_resolvers)
        result.append(Source(r->instanceKey, r->source));
    for (const Source &s : m_stale)
        result.append(s);
    return result;
}

void Browser::expectAgain(const QVector<Source> &sources)
{
    for (const Source &s : sources)
        m_stale.insert(s);
}
