#include "avahibrowser_p.h"

#include "../logging_p.h"
#include "engine_p.h"
#include "qtavahipoll_p.h"

#include <avahi-common/strlst.h>

#include <QNetworkInterface>
#include <QTimer>
#include <QtEndian>

using namespace QZeroConfInternal;

struct AvahiBrowser::Resolver
{
    AvahiBrowser *browser;
    QString instanceKey;
    int source;
    AvahiSServiceResolver *resolver = nullptr;
};

namespace {

void serverState(AvahiServer *, AvahiServerState state, void *)
{
    qCDebug(lcZeroConf) << "browsing responder state" << state;
}

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

AvahiBrowser::AvahiBrowser(const QByteArray &type, AvahiProtocol protocol, QObject *parent)
    : QObject(parent), m_type(type), m_protocol(protocol)
{
    qRegisterMetaType<ResolvedService>();
}

AvahiBrowser::~AvahiBrowser()
{
    for (Resolver *r : qAsConst(m_resolvers)) {
        avahi_s_service_resolver_free(r->resolver);
        delete r;
    }
    m_resolvers.clear();
    if (m_browser)
        avahi_s_service_browser_free(m_browser);
    if (m_server)
        avahi_server_free(m_server);
    m_poll.reset();
}

bool AvahiBrowser::start(QString *error)
{
    m_poll.reset(new QtAvahiPoll);
    m_server = newAvahiServer(m_poll->api(), QByteArray(), false, serverState, nullptr, error);
    if (!m_server)
        return false;
    // Lookup flags 0: multicast only (wide area is off), as the engine decides.
    m_browser =
        avahi_s_service_browser_new(m_server, AVAHI_IF_UNSPEC, m_protocol, m_type.constData(),
                                    nullptr, AvahiLookupFlags(0), browserCallback, this);
    if (!m_browser) {
        *error = avahiError(avahi_server_errno(m_server));
        return false;
    }
    return true;
}

void AvahiBrowser::browserCallback(AvahiSServiceBrowser *, AvahiIfIndex interface,
                                   AvahiProtocol protocol, AvahiBrowserEvent event,
                                   const char *name, const char *type, const char *domain,
                                   AvahiLookupResultFlags, void *userdata)
{
    auto *self = static_cast<AvahiBrowser *>(userdata);
    if (event == AVAHI_BROWSER_FAILURE) {
        const QString reason = avahiError(avahi_server_errno(self->m_server));
        QTimer::singleShot(0, self, [self, reason] { emit self->failed(reason); });
        return;
    }
    if (event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE)
        return;
    const QString instanceKey = instanceKeyOf(name, type, domain);
    const int source = sourceOf(interface, protocol);
    const QString key = resolverKeyOf(instanceKey, source);
    if (event == AVAHI_BROWSER_REMOVE) {
        self->dropResolver(key);
        QTimer::singleShot(0, self,
                           [self, instanceKey, source] { emit self->lost(instanceKey, source); });
        return;
    }
    if (self->m_resolvers.contains(key))
        return;
    auto *r = new Resolver{self, instanceKey, source};
    // The resolver stays: it reports again whenever the service's records change.
    r->resolver =
        avahi_s_service_resolver_new(self->m_server, interface, protocol, name, type, domain,
                                     self->m_protocol, AvahiLookupFlags(0), resolverCallback, r);
    if (!r->resolver) {
        qCDebug(lcZeroConf) << "cannot resolve" << name << ":"
                            << avahiError(avahi_server_errno(self->m_server));
        delete r;
        return;
    }
    self->m_resolvers.insert(key, r);
}

void AvahiBrowser::resolverCallback(AvahiSServiceResolver *, AvahiIfIndex interface, AvahiProtocol,
                                    AvahiResolverEvent event, const char *name, const char *type,
                                    const char *domain, const char *hostName,
                                    const AvahiAddress *address, uint16_t port,
                                    AvahiStringList *txt, AvahiLookupResultFlags, void *userdata)
{
    auto *r = static_cast<Resolver *>(userdata);
    AvahiBrowser *self = r->browser;
    const QString instanceKey = r->instanceKey;
    const int source = r->source;
    if (event != AVAHI_RESOLVER_FOUND || !hostName || !address || !name || !type || !domain) {
        // Timed out or gone: nothing half-resolved is ever reported. The browser tells
        // when the instance itself goes.
        qCDebug(lcZeroConf) << "resolving" << name << "failed";
        QTimer::singleShot(0, self,
                           [self, instanceKey, source] { emit self->lost(instanceKey, source); });
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
    QTimer::singleShot(
        0, self, [self, instanceKey, source, s] { emit self->resolved(instanceKey, source, s); });
}

void AvahiBrowser::dropResolver(const QString &key)
{
    if (Resolver *r = m_resolvers.take(key)) {
        avahi_s_service_resolver_free(r->resolver);
        delete r;
    }
}
