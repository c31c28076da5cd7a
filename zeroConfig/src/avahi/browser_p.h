#ifndef QZEROCONF_BROWSER_P_H
#define QZEROCONF_BROWSER_P_H

#include "../servicetable_p.h"

#include <avahi-common/address.h>
#include <avahi-common/defs.h>
#include <avahi-common/strlst.h>

#include <QHash>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QVector>

namespace QZeroConfInternal {

// Browses one service type and resolves every instance on every interface and IP
// version it is seen on, keeping each resolver open so that it reports changes. The
// engine-specific part (which Avahi API creates and frees browsers and resolvers) is
// in the subclasses; they feed their callbacks into browsed() and resolvedBy().
//
// Every signal is queued to the event loop, never emitted from inside Avahi: a slot may
// delete this browser.
class Browser : public QObject
{
    Q_OBJECT

public:
    // protocol: AVAHI_PROTO_INET, AVAHI_PROTO_INET6 or AVAHI_PROTO_UNSPEC.
    Browser(const QByteArray &type, AvahiProtocol protocol, QObject *parent = nullptr);

    virtual bool start(QString *error) = 0;

    // Instances reported so far, as (instanceKey, source). A browser that takes over
    // from another is told them: those it does not find again by the time its first
    // look is done are lost.
    using Source = QPair<QString, int>;
    QVector<Source> sources() const;
    void expectAgain(const QVector<Source> &sources);

Q_SIGNALS:
    // source: one interface and IP version; instanceKey: one instance.
    void resolved(const QString &instanceKey, int source,
                  const QZeroConfInternal::ResolvedService &service);
    void lost(const QString &instanceKey, int source);
    void failed(const QString &reason);
    // The responder this browser relies on has gone for good: browse elsewhere.
    void responderGone();

protected:
    struct Resolver
    {
        Browser *browser;
        QString instanceKey;
        int source;
        void *handle = nullptr; // the engine's resolver
    };

    void browsed(AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                 const char *name, const char *type, const char *domain);
    void resolvedBy(Resolver *r, AvahiIfIndex interface, AvahiResolverEvent event, const char *name,
                    const char *type, const char *domain, const char *hostName,
                    const AvahiAddress *address, uint16_t port, AvahiStringList *txt);
    // Frees every resolver; subclasses call it before they free the engine.
    void dropResolvers();
    // The same when the engine went away: what was resolved is expected again.
    void forgetResolvers();

    virtual void *newResolver(AvahiIfIndex interface, AvahiProtocol protocol, const char *name,
                              const char *type, const char *domain, Resolver *r) = 0;
    virtual void freeResolver(void *handle) = 0;
    virtual QString engineError() const = 0;
    // False while the engine is away: its lookups fail then, but that says nothing
    // about the services.
    virtual bool engineAlive() const { return true; }

    QByteArray m_type;
    AvahiProtocol m_protocol;

private:
    Q_DISABLE_COPY(Browser)
    void dropResolver(const QString &key);

    // One resolver per instance and source.
    QHash<QString, Resolver *> m_resolvers;
    QSet<Source> m_stale;
};

} // namespace QZeroConfInternal

Q_DECLARE_METATYPE(QZeroConfInternal::ResolvedService)

#endif
