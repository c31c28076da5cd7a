// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "embeddedengine_p.h"

#include "../logging_p.h"
#include "qtavahipoll_p.h"

#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-core/core.h>
#include <avahi-core/log.h>
#include <avahi-core/lookup.h>
#include <avahi-core/publish.h>

#include <QDateTime>
#include <QtEndian>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <sys/random.h>
#include <unistd.h>

namespace QZeroConfInternal {

namespace {

QString avahiError(int error)
{
    return QString::fromUtf8(avahi_strerror(error));
}

// The engine's messages belong to our logging category, not to stderr. Avahi has one
// process-wide hook without user data, so it is set once, before the first server.
void engineLog(AvahiLogLevel level, const char *text)
{
    if (level <= AVAHI_LOG_WARN)
        qCInfo(lcZeroConfEngine, "%s", text);
    else
        qCDebug(lcZeroConfEngine, "%s", text);
}

void prepareOnce()
{
    avahi_set_log_function(engineLog);
    // The engine draws the random delay before probing (RFC 6762 section 8.1: it keeps
    // devices that power on together from probing in lock-step) from rand(). Unseeded,
    // every process draws the same delay, and always a long one.
    unsigned seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != ssize_t(sizeof seed))
        seed = unsigned(QDateTime::currentMSecsSinceEpoch()) ^ unsigned(getpid());
    srand(seed);
}

// Process-wide set-up, once, before the first server of any thread.
void prepareEngine()
{
    static std::once_flag once;
    std::call_once(once, prepareOnce);
}

GroupState groupState(AvahiEntryGroupState state)
{
    switch (state) {
    case AVAHI_ENTRY_GROUP_REGISTERING:
        return GroupState::Registering;
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        return GroupState::Established;
    case AVAHI_ENTRY_GROUP_COLLISION:
        return GroupState::Collision;
    case AVAHI_ENTRY_GROUP_FAILURE:
        return GroupState::Failure;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
        break;
    }
    return GroupState::Uncommitted;
}

AvahiAddress avahiAddress(const QHostAddress &a)
{
    AvahiAddress result = {};
    if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        result.proto = AVAHI_PROTO_INET;
        result.data.ipv4.address = qToBigEndian(a.toIPv4Address());
    } else {
        result.proto = AVAHI_PROTO_INET6;
        const Q_IPV6ADDR bytes = a.toIPv6Address();
        memcpy(result.data.ipv6.address, bytes.c, sizeof result.data.ipv6.address);
    }
    return result;
}

QHostAddress hostAddress(const AvahiAddress &a)
{
    if (a.proto == AVAHI_PROTO_INET)
        return QHostAddress(qFromBigEndian<quint32>(&a.data.ipv4.address));
    return QHostAddress(a.data.ipv6.address);
}

class EmbeddedGroup final : public EngineGroup
{
public:
    EmbeddedGroup(AvahiServer *server, GroupCallback callback)
        : m_server(server), m_callback(std::move(callback))
    {
        m_group = avahi_s_entry_group_new(server, groupCallback, this);
        if (!m_group)
            refuse(avahi_server_errno(server));
    }
    // Freeing queues the goodbyes; the next turn of the event loop sends them, or the
    // server's own free does when it comes first.
    ~EmbeddedGroup() override
    {
        if (m_group)
            avahi_s_entry_group_free(m_group);
    }

    void addService(int interfaceIndex, const QByteArray &name, const QByteArray &type,
                    const QByteArray &host, quint16 port, const QList<QByteArray> &txt) override
    {
        if (!usable())
            return;
        AvahiStringList *list = stringList(txt);
        const int r = avahi_server_add_service_strlst(
            m_server, m_group, interfaceIndex, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
            name.constData(), type.constData(), nullptr,
            host.isEmpty() ? nullptr : host.constData(), port, list);
        avahi_string_list_free(list);
        refuse(r);
    }

    void addServiceSubtype(int interfaceIndex, const QByteArray &name, const QByteArray &type,
                           const QByteArray &subtype) override
    {
        if (!usable())
            return;
        const QByteArray full = subtype + "._sub." + type;
        refuse(avahi_server_add_service_subtype(
            m_server, m_group, interfaceIndex, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
            name.constData(), type.constData(), nullptr, full.constData()));
    }

    void updateServiceTxt(int interfaceIndex, const QByteArray &name, const QByteArray &type,
                          const QList<QByteArray> &txt) override
    {
        if (!usable())
            return;
        AvahiStringList *list = stringList(txt);
        const int r = avahi_server_update_service_txt_strlst(
            m_server, m_group, interfaceIndex, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
            name.constData(), type.constData(), nullptr, list);
        avahi_string_list_free(list);
        refuse(r);
    }

    void addAddress(int interfaceIndex, int protocol, const QByteArray &fqdn,
                    const QHostAddress &address, bool reverse) override
    {
        if (!usable())
            return;
        AvahiAddress a = avahiAddress(address);
        refuse(avahi_server_add_address(m_server, m_group, interfaceIndex, protocol,
                                        reverse ? AvahiPublishFlags(0) : AVAHI_PUBLISH_NO_REVERSE,
                                        fqdn.constData(), &a));
    }

    void commit() override
    {
        if (usable())
            refuse(avahi_s_entry_group_commit(m_group));
    }

    void reset() override
    {
        m_refused = false;
        if (m_group)
            avahi_s_entry_group_reset(m_group);
    }

    GroupState state() const override
    {
        if (m_refused || !m_group)
            return m_refusal;
        return groupState(avahi_s_entry_group_get_state(m_group));
    }

private:
    Q_DISABLE_COPY(EmbeddedGroup)

    bool usable() const { return m_group && !m_refused; }

    // Avahi keeps a string list newest-first and writes it to the wire last-first, so
    // adding in order gives the order on the wire.
    static AvahiStringList *stringList(const QList<QByteArray> &txt)
    {
        AvahiStringList *list = nullptr;
        for (const QByteArray &s : txt)
            list = avahi_string_list_add_arbitrary(
                list, reinterpret_cast<const uint8_t *>(s.constData()), size_t(s.size()));
        return list;
    }

    // A call the engine turned down: a name another group of ours holds counts as a
    // collision, like a conflict on the network; anything else fails the group.
    void refuse(int error)
    {
        if (error >= 0)
            return;
        m_refused = true;
        m_refusal = error == AVAHI_ERR_COLLISION ? GroupState::Collision : GroupState::Failure;
        m_callback(m_refusal, avahiError(error));
    }

    static void groupCallback(AvahiServer *server, AvahiSEntryGroup *, AvahiEntryGroupState state,
                              void *userdata)
    {
        auto *self = static_cast<EmbeddedGroup *>(userdata);
        self->m_callback(groupState(state), state == AVAHI_ENTRY_GROUP_FAILURE
                                                ? avahiError(avahi_server_errno(server))
                                                : QString());
    }

    AvahiServer *m_server;
    AvahiSEntryGroup *m_group = nullptr;
    GroupCallback m_callback;
    bool m_refused = false;
    GroupState m_refusal = GroupState::Failure;
};

class EmbeddedBrowse final : public EngineLookup
{
public:
    EmbeddedBrowse(AvahiServer *server, BrowseCallback callback)
        : m_server(server), m_callback(std::move(callback))
    {}
    ~EmbeddedBrowse() override
    {
        if (m_browser)
            avahi_s_service_browser_free(m_browser);
    }

    bool start(int protocol, const QByteArray &type, QString *error)
    {
        // Lookup flags 0: multicast only (wide area is off), as the engine decides.
        m_browser =
            avahi_s_service_browser_new(m_server, AVAHI_IF_UNSPEC, protocol, type.constData(),
                                        nullptr, AvahiLookupFlags(0), callback, this);
        if (!m_browser)
            *error = avahiError(avahi_server_errno(m_server));
        return m_browser;
    }

private:
    Q_DISABLE_COPY(EmbeddedBrowse)

    static void callback(AvahiSServiceBrowser *, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiBrowserEvent event, const char *name, const char *type,
                         const char *domain, AvahiLookupResultFlags, void *userdata)
    {
        auto *self = static_cast<EmbeddedBrowse *>(userdata);
        switch (event) {
        case AVAHI_BROWSER_NEW:
        case AVAHI_BROWSER_REMOVE:
            self->m_callback(event == AVAHI_BROWSER_NEW ? BrowseEvent::New : BrowseEvent::Remove,
                             interface, protocol, QString::fromUtf8(name), QString::fromUtf8(type),
                             QString::fromUtf8(domain));
            break;
        case AVAHI_BROWSER_ALL_FOR_NOW:
            self->m_callback(BrowseEvent::AllForNow, interface, protocol, QString(), QString(),
                             QString());
            break;
        case AVAHI_BROWSER_FAILURE:
            self->m_callback(BrowseEvent::Failure, interface, protocol,
                             avahiError(avahi_server_errno(self->m_server)), QString(), QString());
            break;
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
            break;
        }
    }

    AvahiServer *m_server;
    AvahiSServiceBrowser *m_browser = nullptr;
    BrowseCallback m_callback;
};

class EmbeddedResolve final : public EngineLookup
{
public:
    explicit EmbeddedResolve(ResolveCallback callback) : m_callback(std::move(callback)) {}
    ~EmbeddedResolve() override
    {
        if (m_resolver)
            avahi_s_service_resolver_free(m_resolver);
    }

    bool start(AvahiServer *server, int interfaceIndex, int protocol, const QString &name,
               const QString &type, const QString &domain, int addressProtocol, QString *error)
    {
        m_resolver = avahi_s_service_resolver_new(
            server, interfaceIndex, protocol, name.toUtf8().constData(), type.toUtf8().constData(),
            domain.toUtf8().constData(), addressProtocol, AvahiLookupFlags(0), callback, this);
        if (!m_resolver)
            *error = avahiError(avahi_server_errno(server));
        return m_resolver;
    }

private:
    Q_DISABLE_COPY(EmbeddedResolve)

    static void callback(AvahiSServiceResolver *, AvahiIfIndex interface, AvahiProtocol,
                         AvahiResolverEvent event, const char *name, const char *type,
                         const char *domain, const char *hostName, const AvahiAddress *address,
                         uint16_t port, AvahiStringList *txt, AvahiLookupResultFlags,
                         void *userdata)
    {
        auto *self = static_cast<EmbeddedResolve *>(userdata);
        ResolvedService r;
        const bool found =
            event == AVAHI_RESOLVER_FOUND && name && type && domain && hostName && address;
        if (found) {
            r.name = QString::fromUtf8(name);
            r.type = QString::fromUtf8(type);
            r.domain = QString::fromUtf8(domain);
            r.host = QString::fromUtf8(hostName);
            r.ip = hostAddress(*address);
            r.interfaceIndex = quint32(interface);
            r.port = port;
            // Avahi keeps the strings last-first.
            QList<QByteArray> strings;
            for (AvahiStringList *s = txt; s; s = avahi_string_list_get_next(s))
                strings.prepend(
                    QByteArray(reinterpret_cast<const char *>(avahi_string_list_get_text(s)),
                               int(avahi_string_list_get_size(s))));
            r.setTxt(strings);
        }
        self->m_callback(found, r);
    }

    AvahiSServiceResolver *m_resolver = nullptr;
    ResolveCallback m_callback;
};

class EmbeddedEngine final : public Engine
{
public:
    EmbeddedEngine() = default;
    // Freeing the server frees what is left of its groups and forces every queued
    // goodbye out before the sockets close.
    ~EmbeddedEngine() override
    {
        if (m_server)
            avahi_server_free(m_server);
        m_poll.reset();
    }

    void start(const EngineEvents &events, StartMode) override
    {
        m_events = events;
        const QString hazard = embeddedEngineHazard();
        if (!hazard.isEmpty()) {
            m_events.failed(hazard, true);
            return;
        }
        prepareEngine();

        AvahiServerConfig config;
        avahi_server_config_init(&config);
        // No host name of its own: address records come from groups, one host name each.
        config.publish_addresses = 0;
        config.publish_hinfo = 0;
        config.publish_workstation = 0;
        config.publish_domain = 0;
        config.enable_wide_area = 0;
        config.add_service_cookie = 0;
        // Share port 5353 with any other responder on this host.
        config.disallow_other_stacks = 0;
        // Incoming packet rate limit, as the system daemon sets it.
        config.ratelimit_interval = 1000000;
        config.ratelimit_burst = 1000;

        m_poll.reset(new QtAvahiPoll);
        int err = 0;
        // Calls serverCallback before it returns.
        m_server = avahi_server_new(m_poll->api(), &config, serverCallback, this, &err);
        avahi_server_config_free(&config);
        if (!m_server) {
            m_poll.reset();
            m_events.failed(
                QStringLiteral("the mDNS responder could not start: %1").arg(avahiError(err)),
                true);
        }
    }

    QString description() const override { return QStringLiteral("the embedded responder"); }
    bool isDaemon() const override { return false; }
    QByteArray ownHostName() const override { return QByteArray(); }
    bool foreignNetwork() const override { return false; }

    std::unique_ptr<EngineGroup> newGroup(GroupCallback callback) override
    {
        return std::unique_ptr<EngineGroup>(new EmbeddedGroup(m_server, std::move(callback)));
    }

    std::unique_ptr<EngineLookup> browse(int protocol, const QByteArray &type,
                                         BrowseCallback callback, QString *error) override
    {
        std::unique_ptr<EmbeddedBrowse> b(new EmbeddedBrowse(m_server, std::move(callback)));
        if (!b->start(protocol, type, error))
            return nullptr;
        return b;
    }

    std::unique_ptr<EngineLookup> resolve(int interfaceIndex, int protocol, const QString &name,
                                          const QString &type, const QString &domain,
                                          int addressProtocol, ResolveCallback callback,
                                          QString *error) override
    {
        std::unique_ptr<EmbeddedResolve> r(new EmbeddedResolve(std::move(callback)));
        if (!r->start(m_server, interfaceIndex, protocol, name, type, domain, addressProtocol,
                      error))
            return nullptr;
        return r;
    }

private:
    Q_DISABLE_COPY(EmbeddedEngine)

    static void serverCallback(AvahiServer *server, AvahiServerState state, void *userdata)
    {
        auto *self = static_cast<EmbeddedEngine *>(userdata);
        // From inside avahi_server_new() too, before m_server is set: use `server`.
        if (state == AVAHI_SERVER_RUNNING)
            self->m_events.running();
        else if (state == AVAHI_SERVER_FAILURE)
            self->m_events.failed(avahiError(avahi_server_errno(server)), true);
    }

    std::unique_ptr<QtAvahiPoll> m_poll;
    AvahiServer *m_server = nullptr;
    EngineEvents m_events;
};

} // namespace

std::unique_ptr<Engine> newEmbeddedEngine()
{
    return std::unique_ptr<Engine>(new EmbeddedEngine);
}

QString embeddedEngineHazard()
{
    // The core library exports an internal function under a name that the daemon's
    // client library (libavahi-client, which libcups and others load) exports too, and
    // calls it through the global symbol table. Whichever of the two the process loaded
    // first wins that lookup.
    static const char Shared[] = "avahi_entry_group_free";
    Dl_info core = {};
    if (!dladdr(reinterpret_cast<void *>(&avahi_server_new), &core) || !core.dli_fname)
        return QString();
    void *handle = dlopen(core.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!handle)
        return QString();
    void *own = dlsym(handle, Shared);
    void *global = dlsym(RTLD_DEFAULT, Shared);
    dlclose(handle);
    if (!own || !global || own == global)
        return QString();
    Dl_info other = {};
    const QString holder = dladdr(global, &other) && other.dli_fname
                               ? QString::fromLocal8Bit(other.dli_fname)
                               : QStringLiteral("another library");
    return QStringLiteral("the embedded mDNS responder cannot run in this process: %1 is loaded "
                          "ahead of %2 and takes over its function %3")
        .arg(holder, QString::fromLocal8Bit(core.dli_fname), QLatin1String(Shared));
}

} // namespace QZeroConfInternal
