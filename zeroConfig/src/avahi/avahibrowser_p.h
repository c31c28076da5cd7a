#ifndef QZEROCONF_AVAHIBROWSER_P_H
#define QZEROCONF_AVAHIBROWSER_P_H

#include "../servicetable_p.h"

#include <avahi-core/core.h>
#include <avahi-core/lookup.h>

#include <QHash>
#include <QObject>

#include <memory>

namespace QZeroConfInternal {

class QtAvahiPoll;

// Browses one service type with a responder of its own that publishes nothing, and
// resolves every instance on every interface and IP version it is seen on.
//
// Every signal is queued to the event loop, never emitted from inside Avahi: a slot may
// delete this browser.
class AvahiBrowser : public QObject
{
    Q_OBJECT

public:
    // protocol: AVAHI_PROTO_INET, AVAHI_PROTO_INET6 or AVAHI_PROTO_UNSPEC.
    AvahiBrowser(const QByteArray &type, AvahiProtocol protocol, QObject *parent = nullptr);
    ~AvahiBrowser() override;

    bool start(QString *error);

Q_SIGNALS:
    // source: one interface and IP version; instanceKey: one instance.
    void resolved(const QString &instanceKey, int source,
                  const QZeroConfInternal::ResolvedService &service);
    void lost(const QString &instanceKey, int source);
    void failed(const QString &reason);

private:
    Q_DISABLE_COPY(AvahiBrowser)

    struct Resolver;
    static void browserCallback(AvahiSServiceBrowser *b, AvahiIfIndex interface,
                                AvahiProtocol protocol, AvahiBrowserEvent event, const char *name,
                                const char *type, const char *domain, AvahiLookupResultFlags flags,
                                void *userdata);
    static void resolverCallback(AvahiSServiceResolver *r, AvahiIfIndex interface,
                                 AvahiProtocol protocol, AvahiResolverEvent event, const char *name,
                                 const char *type, const char *domain, const char *hostName,
                                 const AvahiAddress *address, uint16_t port, AvahiStringList *txt,
                                 AvahiLookupResultFlags flags, void *userdata);
    void dropResolver(const QString &key);

    QByteArray m_type;
    AvahiProtocol m_protocol;
    std::unique_ptr<QtAvahiPoll> m_poll;
    AvahiServer *m_server = nullptr;
    AvahiSServiceBrowser *m_browser = nullptr;
    // One resolver per instance and source, keyed by resolverKey().
    QHash<QString, Resolver *> m_resolvers;
};

} // namespace QZeroConfInternal

Q_DECLARE_METATYPE(QZeroConfInternal::ResolvedService)

#endif
