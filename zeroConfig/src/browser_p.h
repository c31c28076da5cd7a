// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_BROWSER_P_H
#define QZEROCONF_BROWSER_P_H

#include "engine_p.h"
#include "servicetable_p.h"
#include "widearea_p.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QPair>
#include <QSet>

#include <memory>

namespace QZeroConfInternal {

class Responder;

// Browses one service type through the responder of its thread and resolves every
// instance on every interface and IP version it is seen on, keeping each resolver open
// so that it reports changes. When the engine goes away (a daemon restarts, or is
// replaced by the embedded responder), browsing starts over: what is not found again
// by the time the first look is done is lost.
//
// Beside mDNS it browses the site's DNS where browse domains may exist (the wide-area
// library, loaded at run time): what is found there is reported from a source of its
// own, in its own domain, so an instance seen both ways is one service per domain.
//
// Every signal is queued to the event loop, never emitted from inside the engine: a
// slot may delete this browser.
class Browser : public QObject
{
    Q_OBJECT

public:
    // protocol: the IP version(s) to resolve addresses of (Protocol). interfaces: the
    // indexes of the interfaces to look on; empty: all.
    Browser(std::shared_ptr<Responder> responder, const QByteArray &type, int protocol,
            const QList<int> &interfaces = {});
    ~Browser() override;

    // Applies to the next start().
    void setWideArea(const WideAreaBrowseSettings &settings) { m_wideAreaSettings = settings; }
    void start();

    // The source of what the site's DNS reports: no interface and IP version of mDNS.
    static constexpr int WideAreaSource = -1;

Q_SIGNALS:
    // source: one interface and IP version; instanceKey: one instance.
    void resolved(const QString &instanceKey, int source,
                  const QZeroConfInternal::ResolvedService &service);
    void lost(const QString &instanceKey, int source);
    void failed(const QString &reason);

private:
    Q_DISABLE_COPY(Browser)

    using Source = QPair<QString, int>;
    struct Resolver
    {
        QString instanceKey;
        int source = 0;
        std::unique_ptr<EngineLookup> lookup;
        // What the browse reported, to resolve it again after a failure.
        int interfaceIndex = 0;
        int protocol = 0;
        QString name, type, domain;
        int failures = 0;
    };

    void browse();
    void engineLost();
    void browsed(BrowseEvent event, int interfaceIndex, int protocol, const QString &name,
                 const QString &type, const QString &domain);
    void resolvedBy(const Resolver *r, bool found, const ResolvedService &resolution);
    void dropResolver(const QString &key);
    void resolveAgain(const QString &key, const Resolver *failed);

    std::shared_ptr<Responder> m_responder; // first: released last
    QByteArray m_type;
    int m_protocol;
    QList<int> m_interfaces;
    std::unique_ptr<EngineLookup> m_lookup;
    // One resolver per instance and source.
    QHash<QString, Resolver *> m_resolvers;
    // What was reported before the engine went away, until it is found again.
    QSet<Source> m_stale;
    void startWideArea();

    WideAreaBrowseSettings m_wideAreaSettings;
    std::unique_ptr<WideAreaBrowse> m_wideArea;
    QFileSystemWatcher *m_resolvConfWatch = nullptr; // until the wide-area browse starts
};

} // namespace QZeroConfInternal

Q_DECLARE_METATYPE(QZeroConfInternal::ResolvedService)

#endif
