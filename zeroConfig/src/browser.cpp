// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "browser_p.h"

#include "logging_p.h"
#include "responder_p.h"

#include <QFileSystemWatcher>
#include <QNetworkInterface>
#include <QTimer>

#include <algorithm>

using namespace QZeroConfInternal;

namespace {

int sourceOf(int interfaceIndex, int protocol)
{
    return interfaceIndex * 2 + (protocol == IPv6);
}

QString instanceKeyOf(const QString &name, const QString &type, const QString &domain)
{
    return name + QLatin1Char('\n') + type + QLatin1Char('\n') + domain;
}

QString resolverKeyOf(const QString &instanceKey, int source)
{
    return instanceKey + QLatin1Char('\n') + QString::number(source);
}

// A link-local address is of no use without the link it belongs to.
QHostAddress scoped(QHostAddress address, int interfaceIndex)
{
    if (address.protocol() == QAbstractSocket::IPv6Protocol &&
        address.isInSubnet(QHostAddress(QStringLiteral("fe80::")), 10)) {
        const QString scope = QNetworkInterface::interfaceNameFromIndex(interfaceIndex);
        address.setScopeId(scope.isEmpty() ? QString::number(interfaceIndex) : scope);
    }
    return address;
}

} // namespace

Browser::Browser(std::shared_ptr<Responder> responder, const QByteArray &type, int protocol,
                 const QList<int> &interfaces)
    : m_responder(std::move(responder)), m_type(type), m_protocol(protocol),
      m_interfaces(interfaces)
{
    qRegisterMetaType<ResolvedService>();
    connect(m_responder.get(), &Responder::engineRunning, this, &Browser::browse);
    connect(m_responder.get(), &Responder::engineLost, this, &Browser::engineLost);
    connect(m_responder.get(), &Responder::engineFailed, this, [this](const QString &why) {
        QTimer::singleShot(0, this, [this, why] { emit failed(why); });
    });
}

Browser::~Browser()
{
    m_wideArea.reset();
    qDeleteAll(m_resolvers);
    m_resolvers.clear();
    m_lookup.reset();
}

void Browser::start()
{
    m_responder->needEngine();
    browse();
    startWideArea();
}

void Browser::startWideArea()
{
    if (m_wideArea || !m_wideAreaSettings.enabled)
        return;
    WideAreaBrowseSink sink;
    sink.resolved = [this](const ResolvedService &s) {
        const QString key = instanceKeyOf(s.name, s.type, s.domain);
        QTimer::singleShot(0, this, [this, key, s] { emit resolved(key, WideAreaSource, s); });
    };
    sink.lost = [this](const QString &name, const QString &type, const QString &domain) {
        const QString key = instanceKeyOf(name, type, domain);
        QTimer::singleShot(0, this, [this, key] { emit lost(key, WideAreaSource); });
    };
    m_wideArea = startWideAreaBrowse(m_type, m_protocol, m_wideAreaSettings, sink);
    // No browse domain may exist yet; one may come with the next network (DHCP writes a
    // search domain): look again whenever the resolver configuration changes.
#ifdef QZEROCONF_UNICAST_MODULE
    const QString conf = QStringLiteral("/etc/resolv.conf");
    if (m_wideArea) {
        delete m_resolvConfWatch;
        m_resolvConfWatch = nullptr;
    } else if (!m_resolvConfWatch) {
        m_resolvConfWatch = new QFileSystemWatcher({conf}, this);
        connect(m_resolvConfWatch, &QFileSystemWatcher::fileChanged, this, [this, conf] {
            // Replaced rather than rewritten, the file drops out of the watch.
            if (!m_resolvConfWatch->files().contains(conf))
                m_resolvConfWatch->addPath(conf);
            // Not from inside the watcher's own signal, which this may delete.
            QTimer::singleShot(0, this, &Browser::startWideArea);
        });
    }
#endif
}

void Browser::browse()
{
    Engine *engine = m_responder->runningEngine();
    if (m_lookup || !engine)
        return; // again once the engine runs
    QString error;
    m_lookup = engine->browse(
        m_protocol, m_type,
        [this](BrowseEvent event, int interfaceIndex, int protocol, const QString &name,
               const QString &type, const QString &domain) {
            browsed(event, interfaceIndex, protocol, name, type, domain);
        },
        &error);
    if (!m_lookup)
        QTimer::singleShot(0, this, [this, error] { emit failed(error); });
}

void Browser::engineLost()
{
    for (const Resolver *r : qAsConst(m_resolvers))
        m_stale.insert(Source(r->instanceKey, r->source));
    qDeleteAll(m_resolvers);
    m_resolvers.clear();
    m_lookup.reset();
}

void Browser::browsed(BrowseEvent event, int interfaceIndex, int protocol, const QString &name,
                      const QString &type, const QString &domain)
{
    if (event == BrowseEvent::Failure) {
        QTimer::singleShot(0, this, [this, name] { emit failed(name); });
        return;
    }
    if (event == BrowseEvent::AllForNow) {
        const QSet<Source> stale = m_stale;
        m_stale.clear();
        for (const Source &s : stale)
            QTimer::singleShot(0, this, [this, s] { emit lost(s.first, s.second); });
        return;
    }
    // The engine browses everywhere; what other interfaces see is not ours to report.
    if (!m_interfaces.isEmpty() && !m_interfaces.contains(interfaceIndex))
        return;
    const QString instanceKey = instanceKeyOf(name, type, domain);
    const int source = sourceOf(interfaceIndex, protocol);
    m_stale.remove(Source(instanceKey, source));
    const QString key = resolverKeyOf(instanceKey, source);
    if (event == BrowseEvent::Remove) {
        dropResolver(key);
        QTimer::singleShot(0, this,
                           [this, instanceKey, source] { emit lost(instanceKey, source); });
        return;
    }
    if (m_resolvers.contains(key))
        return;
    Engine *engine = m_responder->runningEngine();
    if (!engine)
        return;
    auto *r = new Resolver;
    r->instanceKey = instanceKey;
    r->source = source;
    r->interfaceIndex = interfaceIndex;
    r->protocol = protocol;
    r->name = name;
    r->type = type;
    r->domain = domain;
    QString error;
    // The resolver stays: it reports again whenever the service's records change.
    r->lookup = engine->resolve(
        interfaceIndex, protocol, name, type, domain, m_protocol,
        [this, r](bool found, const ResolvedService &resolution) {
            resolvedBy(r, found, resolution);
        },
        &error);
    if (!r->lookup) {
        qCDebug(lcZeroConf) << "cannot resolve" << name << ":" << error;
        delete r;
        return;
    }
    m_resolvers.insert(key, r);
}

void Browser::resolvedBy(const Resolver *r, bool found, const ResolvedService &resolution)
{
    const QString instanceKey = r->instanceKey;
    const int source = r->source;
    if (!found) {
        // Timed out or gone: nothing half-resolved is ever reported. The browser tells
        // when the instance itself goes; while it is listed, it is resolved again, less
        // often each time (a daemon's resolver that timed out never reports again).
        qCDebug(lcZeroConf) << "resolving" << instanceKey.section(QLatin1Char('\n'), 0, 0)
                            << "failed";
        QTimer::singleShot(0, this,
                           [this, instanceKey, source] { emit lost(instanceKey, source); });
        const QString key = resolverKeyOf(instanceKey, source);
        const int delayMs = 1000 << std::min(r->failures, 6);
        QTimer::singleShot(delayMs, this, [this, key, r] { resolveAgain(key, r); });
        return;
    }
    qCDebug(lcZeroConf) << "resolved" << resolution.name << "on interface"
                        << resolution.interfaceIndex << "at" << resolution.host << resolution.port;
    ResolvedService s = resolution;
    s.ip = scoped(resolution.ip, int(resolution.interfaceIndex));
    QTimer::singleShot(0, this,
                       [this, instanceKey, source, s] { emit resolved(instanceKey, source, s); });
}

void Browser::dropResolver(const QString &key)
{
    delete m_resolvers.take(key);
}

void Browser::resolveAgain(const QString &key, const Resolver *failed)
{
    // Only the resolver that failed: not one that the instance's removal dropped, nor its
    // successor.
    Resolver *r = m_resolvers.value(key);
    if (r != failed)
        return;
    const int failures = r->failures + 1;
    const int interfaceIndex = r->interfaceIndex, protocol = r->protocol;
    const QString name = r->name, type = r->type, domain = r->domain;
    dropResolver(key);
    browsed(BrowseEvent::New, interfaceIndex, protocol, name, type, domain);
    if (Resolver *again = m_resolvers.value(key))
        again->failures = failures;
}
