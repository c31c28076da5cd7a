#include "daemonbrowser_p.h"

#include "../logging_p.h"
#include "daemon_p.h"
#include "engine_p.h"

#include <QTimer>

using namespace QZeroConfInternal;

DaemonBrowser::DaemonBrowser(const QByteArray &type, AvahiProtocol protocol, QObject *parent)
    : Browser(type, protocol, parent), m_daemon(new DaemonConnection)
{
    connect(m_daemon.get(), &DaemonConnection::running, this, &DaemonBrowser::browse);
    connect(m_daemon.get(), &DaemonConnection::away, this, [this] {
        forgetResolvers();
        dropBrowser();
    });
    connect(m_daemon.get(), &DaemonConnection::back, this, [] {
        qCWarning(lcZeroConf).noquote()
            << QStringLiteral("the mDNS daemon is back; browsing through it again");
    });
    connect(m_daemon.get(), &DaemonConnection::gone, this, [this] {
        qCWarning(lcZeroConf).noquote()
            << QStringLiteral("the mDNS daemon has been away for %1 s; browsing on our own")
                   .arg(DaemonGraceMs / 1000);
        emit responderGone();
    });
}

DaemonBrowser::~DaemonBrowser()
{
    dropResolvers();
    dropBrowser();
}

bool DaemonBrowser::start(QString *error)
{
    return m_daemon->open(error);
}

void DaemonBrowser::browse()
{
    if (m_browser || !m_daemon->isRunning())
        return;
    // Lookup flags 0: the daemon's own choice, multicast only while wide area is off.
    m_browser = avahi_service_browser_new(m_daemon->client(), AVAHI_IF_UNSPEC, m_protocol,
                                          m_type.constData(), nullptr, AvahiLookupFlags(0),
                                          browserCallback, this);
    if (!m_browser) {
        const QString reason = engineError();
        QTimer::singleShot(0, this, [this, reason] { emit failed(reason); });
    }
}

void DaemonBrowser::dropBrowser()
{
    if (m_browser)
        avahi_service_browser_free(m_browser);
    m_browser = nullptr;
}

QString DaemonBrowser::engineError() const
{
    return m_daemon->client() ? avahiError(avahi_client_errno(m_daemon->client()))
                              : QStringLiteral("the mDNS daemon is gone");
}

bool DaemonBrowser::engineAlive() const
{
    return m_daemon->isRunning();
}

void *DaemonBrowser::newResolver(AvahiIfIndex interface, AvahiProtocol protocol, const char *name,
                                 const char *type, const char *domain, Resolver *r)
{
    return avahi_service_resolver_new(m_daemon->client(), interface, protocol, name, type, domain,
                                      m_protocol, AvahiLookupFlags(0), resolverCallback, r);
}

void DaemonBrowser::freeResolver(void *handle)
{
    avahi_service_resolver_free(static_cast<AvahiServiceResolver *>(handle));
}

void DaemonBrowser::browserCallback(AvahiServiceBrowser *, AvahiIfIndex interface,
                                    AvahiProtocol protocol, AvahiBrowserEvent event,
                                    const char *name, const char *type, const char *domain,
                                    AvahiLookupResultFlags, void *userdata)
{
    static_cast<DaemonBrowser *>(userdata)->browsed(interface, protocol, event, name, type, domain);
}

void DaemonBrowser::resolverCallback(AvahiServiceResolver *, AvahiIfIndex interface, AvahiProtocol,
                                     AvahiResolverEvent event, const char *name, const char *type,
                                     const char *domain, const char *hostName,
                                     const AvahiAddress *address, uint16_t port,
                                     AvahiStringList *txt, AvahiLookupResultFlags, void *userdata)
{
    auto *r = static_cast<Resolver *>(userdata);
    static_cast<DaemonBrowser *>(r->browser)
        ->resolvedBy(r, interface, event, name, type, domain, hostName, address, port, txt);
}
