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

} // namespace QZeroConfInternal
