// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "widearea_p.h"

#include "logging_p.h"
#include "moduleloader_p.h"
#include "resolvconf_p.h"

#include <atomic>

namespace QZeroConfInternal {

namespace {

// Set once the library is loaded; it is never unloaded.
std::atomic<FinishWideAreaRemovals> finishRemovals{nullptr};

} // namespace

void finishWideAreaRemovals()
{
    if (const FinishWideAreaRemovals finish = finishRemovals.load())
        finish();
}

std::unique_ptr<WideAreaPublication> startWideArea(const PublishRequest &request,
                                                   const WideAreaSettings &settings)
{
#ifndef QZEROCONF_UNICAST_MODULE
    Q_UNUSED(request)
    Q_UNUSED(settings)
    return nullptr;
#else
    // Only under a search domain can a registration domain be advertised (RFC 6763
    // section 11).
    if (settings.domain.isEmpty() && systemResolverConfig().search.isEmpty()) {
        qCDebug(lcZeroConf) << "wide-area: no search domain, so no registration domain";
        return nullptr;
    }
    QString why;
    auto factory = reinterpret_cast<NewWideArea>(loadModuleFunction(
        QStringLiteral(QZEROCONF_UNICAST_MODULE), QZEROCONF_WIDE_AREA_FACTORY, &why));
    WideAreaPublication *p =
        factory ? factory(WideAreaInterfaceVersion, request, settings) : nullptr;
    if (p && !finishRemovals.load())
        finishRemovals = reinterpret_cast<FinishWideAreaRemovals>(loadModuleFunction(
            QStringLiteral(QZEROCONF_UNICAST_MODULE), QZEROCONF_WIDE_AREA_FINISH, &why));
    if (!p)
        qCDebug(lcZeroConf).noquote() << QStringLiteral("wide-area: not available: %1").arg(why);
    return std::unique_ptr<WideAreaPublication>(p);
#endif
}

std::unique_ptr<WideAreaBrowse> startWideAreaBrowse(const QByteArray &type, int protocol,
                                                    const WideAreaBrowseSettings &settings,
                                                    const WideAreaBrowseSink &sink)
{
#ifndef QZEROCONF_UNICAST_MODULE
    Q_UNUSED(type)
    Q_UNUSED(protocol)
    Q_UNUSED(settings)
    Q_UNUSED(sink)
    return nullptr;
#else
    if (!settings.enabled)
        return nullptr;
    // Browse domains are advertised under the search domains (RFC 6763 section 11).
    if (settings.domains.isEmpty() && settings.registrationDomain.isEmpty() &&
        systemResolverConfig().search.isEmpty()) {
        qCDebug(lcZeroConf) << "wide-area: no search domain, so no browse domain";
        return nullptr;
    }
    QString why;
    auto factory = reinterpret_cast<NewWideAreaBrowse>(loadModuleFunction(
        QStringLiteral(QZEROCONF_UNICAST_MODULE), QZEROCONF_WIDE_AREA_BROWSE, &why));
    WideAreaBrowse *b =
        factory ? factory(WideAreaInterfaceVersion, type, protocol, settings, sink) : nullptr;
    if (factory && !b)
        why = QStringLiteral("the wide-area library was built for another version");
    if (!b)
        qCDebug(lcZeroConf).noquote()
            << QStringLiteral("wide-area browsing: not available: %1").arg(why);
    return std::unique_ptr<WideAreaBrowse>(b);
#endif
}

} // namespace QZeroConfInternal
