#ifndef QZEROCONF_AVAHIBROWSER_P_H
#define QZEROCONF_AVAHIBROWSER_P_H

#include "browser_p.h"

#include <avahi-core/core.h>
#include <avahi-core/lookup.h>

#include <memory>

namespace QZeroConfInternal {

class QtAvahiPoll;

// Browses with an embedded responder of its own that publishes nothing.
class AvahiBrowser : public Browser
{
    Q_OBJECT

public:
    AvahiBrowser(const QByteArray &type, AvahiProtocol protocol, QObject *parent = nullptr);
    ~AvahiBrowser() override;

    bool start(QString *error) override;

private:
    Q_DISABLE_COPY(AvahiBrowser)

    static void browserCallback(AvahiSServiceBrowser *b, AvahiIfIndex interface,
                                AvahiProtocol protocol, AvahiBrowserEvent event, const char *name,
                                const char *type, const char *domain, AvahiLookupResultFlags flags,
                                void *userdata);
    static void resolverCallback(AvahiSServiceResolver *r, AvahiIfIndex interface,
                                 AvahiProtocol protocol, AvahiResolverEvent event, const char *name,
                                 const char *type, const char *domain, const char *hostName,
                                 const AvahiAddress *address, uint16_t port, AvahiStringList *txt,
                                 AvahiLookupResultFlags flags, void *userdata);

    void *newResolver(AvahiIfIndex interface, AvahiProtocol protocol, const char *name,
                      const char *type, const char *domain, Resolver *r) override;
    void freeResolver(void *handle) override;
    QString engineError() const override;

    std::unique_ptr<QtAvahiPoll> m_poll;
    AvahiServer *m_server = nullptr;
    AvahiSServiceBrowser *m_browser = nullptr;
};

} // namespace QZeroConfInternal

#endif
