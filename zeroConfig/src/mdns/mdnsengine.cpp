// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "mdnsengine_p.h"

#include "../addresswatch_p.h"
#include "../logging_p.h"

#include <QNetworkInterface>

namespace QZeroConfInternal {

namespace {

using namespace Mdns;

// A dotted name (no escaped dots) in wire form; empty when it is none.
QByteArray dottedName(const QByteArray &dotted)
{
    const QList<QByteArray> labels = dotted.split('.');
    for (const QByteArray &l : labels) {
        if (l.isEmpty() || l.size() > MaxLabelLength)
            return QByteArray();
    }
    const QByteArray wire = nameFromDotted(dotted);
    return wire.size() > MaxNameLength ? QByteArray() : wire;
}

// "_ipp._tcp" and the like, under .local.
QByteArray typeName(const QByteArray &type)
{
    return dottedName(type + ".local");
}

QByteArray instanceName(const QByteArray &name, const QByteArray &type, QString *why)
{
    const QByteArray t = typeName(type);
    if (t.isEmpty())
        *why = QStringLiteral("not a service type: %1").arg(QString::fromUtf8(type));
    else if (name.isEmpty() || name.size() > MaxLabelLength)
        *why = QStringLiteral("a service name must have 1 to 63 bytes");
    else if (name.size() + 1 + t.size() > MaxNameLength)
        *why = QStringLiteral("the service's full name is longer than 255 bytes");
    else
        return prependLabel(name, t);
    return QByteArray();
}

// "printer.local" as engine_p.h passes host names; a trailing dot is allowed.
QByteArray hostName(const QByteArray &fqdn)
{
    return dottedName(fqdn.endsWith('.') ? fqdn.chopped(1) : fqdn);
}

QString dotless(const QByteArray &name)
{
    QString s = nameToString(name);
    s.chop(1);
    return s;
}

// Interfaces that can multicast, as AddressWatch's readings have them, with the prefix
// lengths that tell on-link sources (RFC 6762 section 11).
QVector<Link> currentLinks()
{
    QVector<Link> links;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &i : interfaces) {
        if (!isMdnsInterface(i))
            continue;
        Link l;
        l.index = i.index();
        const auto entries = i.addressEntries();
        for (const QNetworkAddressEntry &e : entries) {
            QHostAddress a = e.ip();
            a.setScopeId(QString());
            if (a.protocol() == QAbstractSocket::IPv4Protocol ||
                a.protocol() == QAbstractSocket::IPv6Protocol)
                l.addresses.append(LinkAddress{a, e.prefixLength()});
        }
        if (!l.addresses.isEmpty())
            links.append(l);
    }
    return links;
}

class MdnsGroup final : public EngineGroup
{
public:
    MdnsGroup(Core &core, GroupCallback callback) : m_core(core), m_callback(callback)
    {
        m_id = m_core.newGroup(std::move(callback));
    }
    // Goodbyes for what it announced, from inside the call.
    ~MdnsGroup() override { m_core.freeGroup(m_id); }

    void addService(int interfaceIndex, const QByteArray &name, const QByteArray &type,
                    const QByteArray &host, quint16 port, const TxtRecord &txt) override
    {
        QString why;
        const QByteArray instance = instanceName(name, type, &why);
        const QByteArray target = hostName(host);
        if (instance.isEmpty())
            return refuse(why);
        if (target.isEmpty())
            return refuse(host.isEmpty()
                              ? QStringLiteral("this engine has no host name of its own")
                              : QStringLiteral("not a host name: %1").arg(QString::fromUtf8(host)));
        m_core.addService(m_id, interfaceIndex, instance, typeName(type), target, port, txt);
    }

    void addServiceSubtype(int interfaceIndex, const QByteArray &name, const QByteArray &type,
                           const QByteArray &subtype) override
    {
        QString why;
        const QByteArray instance = instanceName(name, type, &why);
        if (instance.isEmpty())
            return refuse(why);
        if (subtype.isEmpty() || subtype.size() > MaxLabelLength)
            return refuse(QStringLiteral("not a subtype: %1").arg(QString::fromUtf8(subtype)));
        m_core.addSubtype(m_id, interfaceIndex, instance, typeName(type), subtype);
    }

    void updateServiceTxt(int interfaceIndex, const QByteArray &name, const QByteArray &type,
                          const TxtRecord &txt) override
    {
        QString why;
        const QByteArray instance = instanceName(name, type, &why);
        if (instance.isEmpty())
            return refuse(why);
        if (!m_core.updateTxt(m_id, interfaceIndex, instance, txt))
            refuse(QStringLiteral("no such service in the group"));
    }

    void addAddress(int interfaceIndex, int protocol, const QByteArray &fqdn,
                    const QHostAddress &address, bool reverse) override
    {
        const QByteArray host = hostName(fqdn);
        if (host.isEmpty())
            return refuse(QStringLiteral("not a host name: %1").arg(QString::fromUtf8(fqdn)));
        m_core.addAddress(m_id, interfaceIndex, protocol, host, address, reverse);
    }

    void commit() override
    {
        if (!m_refused)
            m_core.commit(m_id);
    }

    void reset() override
    {
        m_refused = false;
        m_core.reset(m_id);
    }

    GroupState state() const override
    {
        return m_refused ? GroupState::Failure : m_core.state(m_id);
    }

private:
    Q_DISABLE_COPY(MdnsGroup)

    void refuse(const QString &why)
    {
        if (m_refused)
            return;
        m_refused = true;
        m_callback(GroupState::Failure, why);
    }

    Core &m_core;
    GroupCallback m_callback;
    Core::GroupId m_id = 0;
    bool m_refused = false;
};

class MdnsLookup final : public EngineLookup
{
public:
    MdnsLookup(Core &core, Querier::LookupId id) : m_core(core), m_id(id) {}
    ~MdnsLookup() override { m_core.cancelLookup(m_id); }

private:
    Q_DISABLE_COPY(MdnsLookup)
    Core &m_core;
    Querier::LookupId m_id;
};

class MdnsEngine final : public Engine
{
public:
    // On real sockets: the seam is made in start().
    MdnsEngine() = default;
    MdnsEngine(Clock &clock, Transport &transport, const QVector<Link> &links)
        : m_clock(&clock), m_transport(&transport), m_fixedLinks(links), m_fixed(true)
    {}
    // The core goes first: its goodbyes need the transport.
    ~MdnsEngine() override
    {
        m_watch.reset();
        m_core.reset();
    }

    void start(const EngineEvents &events, StartMode) override
    {
        m_events = events;
        if (!m_fixed) {
            auto *transport = new UdpTransport;
            m_ownTransport.reset(transport);
            QString why;
            if (!transport->open(&why)) {
                m_events.failed(QStringLiteral("the mDNS engine could not start: %1").arg(why),
                                true);
                return;
            }
            m_ownClock.reset(new QtClock);
            m_clock = m_ownClock.get();
            m_transport = transport;
        }
        m_core.reset(new Core(*m_clock, *m_transport, QRandomGenerator::system()->generate()));
        if (m_fixed) {
            m_core->setLinks(m_fixedLinks);
        } else {
            m_watch.reset(new AddressWatch);
            QObject::connect(m_watch.get(), &AddressWatch::changed,
                             [this] { m_core->setLinks(currentLinks()); });
            m_core->setLinks(currentLinks());
        }
        m_events.running();
    }

    QString description() const override { return QStringLiteral("the built-in mDNS engine"); }
    bool isDaemon() const override { return false; }
    QByteArray ownHostName() const override { return QByteArray(); }
    bool foreignNetwork() const override { return false; }

    std::unique_ptr<EngineGroup> newGroup(GroupCallback callback) override
    {
        return std::unique_ptr<EngineGroup>(new MdnsGroup(*m_core, std::move(callback)));
    }

    std::unique_ptr<EngineLookup> browse(int protocol, const QByteArray &type,
                                         BrowseCallback callback, QString *error) override
    {
        const QByteArray wire = typeName(type);
        if (wire.isEmpty()) {
            *error = QStringLiteral("not a service type: %1").arg(QString::fromUtf8(type));
            return nullptr;
        }
        const Querier::LookupId id = m_core->browse(
            wire, protocol,
            [callback](BrowseEvent event, int link, bool ipv6, const QByteArray &instance) {
                const QList<QByteArray> labels = nameLabels(instance);
                if (event == BrowseEvent::AllForNow || labels.size() < 4) {
                    callback(event, link, ipv6 ? IPv6 : IPv4, QString(), QString(), QString());
                    return;
                }
                callback(event, link, ipv6 ? IPv6 : IPv4, QString::fromUtf8(labels[0]),
                         QString::fromUtf8(labels[1] + '.' + labels[2]),
                         dotless(instance.mid(3 + labels[0].size() + labels[1].size() +
                                              labels[2].size())));
            });
        return std::unique_ptr<EngineLookup>(new MdnsLookup(*m_core, id));
    }

    std::unique_ptr<EngineLookup> resolve(int interfaceIndex, int protocol, const QString &name,
                                          const QString &type, const QString &domain,
                                          int addressProtocol, ResolveCallback callback,
                                          QString *error) override
    {
        QString why;
        const QByteArray t = type.toUtf8() + '.' + domain.toUtf8();
        const QByteArray instance = domain == QLatin1String("local")
                                        ? instanceName(name.toUtf8(), type.toUtf8(), &why)
                                        : QByteArray();
        if (instance.isEmpty()) {
            *error =
                why.isEmpty()
                    ? QStringLiteral("only .local is resolved here: %1").arg(QString::fromUtf8(t))
                    : why;
            return nullptr;
        }
        const Querier::LookupId id =
            m_core->resolve(interfaceIndex, protocol, instance, addressProtocol,
                            [=](bool found, const Querier::Resolution &r) {
                                ResolvedService s;
                                if (found) {
                                    s.name = name;
                                    s.type = type;
                                    s.domain = domain;
                                    s.host = dotless(r.host);
                                    s.ip = r.address;
                                    s.interfaceIndex = quint32(interfaceIndex);
                                    s.port = r.port;
                                    s.setTxt(r.txt);
                                }
                                callback(found, s);
                            });
        return std::unique_ptr<EngineLookup>(new MdnsLookup(*m_core, id));
    }

private:
    Q_DISABLE_COPY(MdnsEngine)

    Clock *m_clock = nullptr;
    Transport *m_transport = nullptr;
    std::unique_ptr<QtClock> m_ownClock;
    std::unique_ptr<UdpTransport> m_ownTransport;
    QVector<Link> m_fixedLinks;
    bool m_fixed = false;
    std::unique_ptr<Core> m_core;
    std::unique_ptr<AddressWatch> m_watch;
    EngineEvents m_events;
};

} // namespace

std::unique_ptr<Engine> newMdnsEngine()
{
    return std::unique_ptr<Engine>(new MdnsEngine);
}

std::unique_ptr<Engine> newMdnsEngine(Clock &clock, Transport &transport,
                                      const QVector<Link> &links)
{
    return std::unique_ptr<Engine>(new MdnsEngine(clock, transport, links));
}

} // namespace QZeroConfInternal
