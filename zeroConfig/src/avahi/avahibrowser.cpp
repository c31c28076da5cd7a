#include "avahibrowser_p.h"

#include "../logging_p.h"
#include "engine_p.h"
#include "qtavahipoll_p.h"

using namespace QZeroConfInternal;

namespace {

void serverState(AvahiServer *, AvahiServerState state, void *)
{
    qCDebug(lcZeroConf) << "browsing responder state" << state;
}

} // namespace

AvahiBrowser::AvahiBrowser(const QByteArray &type, AvahiProtocol protocol, QObject *parent)
    : Browser(type, protocol, parent)
{}

AvahiBrowser::~AvahiBrowser()
{
    dropResolvers();
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
        *error = engineError();
        return false;
    }
    return true;
}

QString AvahiBrowser::engineError() const
{
    return avahiError(avahi_server_errno(m_server));
}

void *AvahiBrowser::newResolver(AvahiIfIndex interface, AvahiProtocol protocol, const char *name,
                                const char *type, const char *domain, Resolver *r)
{
    return avahi_s_service_resolver_new(m_server, interface, protocol, name, type, domain,
                                        m_protocol, AvahiLookupFlags(0), resolverCallback, r);
}

void AvahiBrowser::freeResolver(void *handle)
{
    avahi_s_service_resolver_free(static_cast<AvahiSServiceResolver *>(handle));
}

void AvahiBrowser::browserCallback(AvahiSServiceBrowser *, AvahiIfIndex interface,
                                   AvahiProtocol protocol, AvahiBrowserEvent event,
                                   const char *name, const char *type, const char *domain,
                                   AvahiLookupResultFlags, void *userdata)
{
    static_cast<AvahiBrowser *>(userdata)->browsed(interface, protocol, event, name, type, domain);
}

void AvahiBrowser::resolverCallback(AvahiSServiceResolver *, AvahiIfIndex interface, AvahiProtocol,
                                    AvahiResolverEvent event, const char *name, const char *type,
                                    const char *domain, const char *hostName,
                                    const AvahiAddress *address, uint16_t port,
                                    AvahiStringList *txt, AvahiLookupResultFlags, void *userdata)
{
    auto *r = static_cast<Resolver *>(userdata);
    static_cast<AvahiBrowser *>(r->browser)
        ->resolvedBy(r, interface, event, name, type, domain, hostName, address, port, txt);
}
