#ifndef QZEROCONF_DAEMONBROWSER_P_H
#define QZEROCONF_DAEMONBROWSER_P_H

#include "browser_p.h"

#include <avahi-client/lookup.h>

#include <memory>

namespace QZeroConfInternal {

class DaemonConnection;

// Browses through the host's mDNS daemon. When the daemon restarts, browsing starts
// over and what is not found again is lost; when it stays away for DaemonGraceMs,
// responderGone() asks for another browser.
class DaemonBrowser : public Browser
{
    Q_OBJECT

public:
    DaemonBrowser(const QByteArray &type, AvahiProtocol protocol, QObject *parent = nullptr);
    ~DaemonBrowser() override;

    bool start(QString *error) override;

private:
    Q_DISABLE_COPY(DaemonBrowser)

    static void browserCallback(AvahiServiceBrowser *b, AvahiIfIndex interface,
                                AvahiProtocol protocol, AvahiBrowserEvent event, const char *name,
                                const char *type, const char *domain, AvahiLookupResultFlags flags,
                                void *userdata);
    static void resolverCallback(AvahiServiceResolver *r, AvahiIfIndex interface,
                                 AvahiProtocol protocol, AvahiResolverEvent event, const char *name,
                                 const char *type, const char *domain, const char *hostName,
                                 const AvahiAddress *address, uint16_t port, AvahiStringList *txt,
                                 AvahiLookupResultFlags flags, void *userdata);

    void browse();
    void dropBrowser();
    void *newResolver(AvahiIfIndex interface, AvahiProtocol protocol, const char *name,
                      const char *type, const char *domain, Resolver *r) override;
    void freeResolver(void *handle) override;
    QString engineError() const override;
    bool engineAlive() const override;

    std::unique_ptr<DaemonConnection> m_daemon; // declared first: freed last
    AvahiServiceBrowser *m_browser = nullptr;
};

} // namespace QZeroConfInternal

#endif
