// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_WIDEAREA_P_H
#define QZEROCONF_WIDEAREA_P_H

#include "engine_p.h"
#include "publishrequest_p.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace QZeroConfInternal {

// Where to register in the site's DNS, as the application said; empty means: as the
// system says.
struct WideAreaSettings
{
    QByteArray domain;
    QString keyFile; // else QZEROCONF_TSIG_KEYFILE
};

// One service registered in the site's DNS beside its mDNS announcement, never instead
// of it. Deleting it returns at once; the records are deleted in the background.
class WideAreaPublication
{
public:
    virtual ~WideAreaPublication() = default;
};

// Registers the service where a registration domain may exist: where the application
// set one, or the resolver configuration has a search domain. Only then is the
// wide-area library loaded (and with it ldns and the crypto library). Null otherwise.
std::unique_ptr<WideAreaPublication> startWideArea(const PublishRequest &request,
                                                   const WideAreaSettings &settings);

// For a process that is about to end (a terminating signal): the removals of this
// thread still under way get their answers here, waiting one second at most for all of
// them, in the whole process. Nothing where the wide-area library was never loaded.
void finishWideAreaRemovals();

// What a browser looks for in the site's DNS, as the application said.
struct WideAreaBrowseSettings
{
    bool enabled = true;
    // The application's browse domains; empty: those the resolver configuration offers.
    QList<QByteArray> domains;
    // The domain set for registration, browsed as well where set.
    QByteArray registrationDomain;
};

// Where a wide-area browse reports to, always from the event loop of the thread that
// started it; never from inside startWideAreaBrowse().
struct WideAreaBrowseSink
{
    std::function<void(const ResolvedService &)> resolved;
    std::function<void(const QString &name, const QString &type, const QString &domain)> lost;
};

// One browse of one service type in the site's DNS, beside the mDNS browse. Deleting it
// stops it at once.
class WideAreaBrowse
{
public:
    virtual ~WideAreaBrowse() = default;
};

// Browses `type` ("_ipp._tcp", or "_sub._sub._ipp._tcp") in the browse domains, resolving
// addresses of `protocol` (Protocol). The wide-area library is loaded only where a browse
// domain may exist: the application gave one, or the resolver configuration has a search
// domain. Null otherwise, and where settings.enabled is false.
std::unique_ptr<WideAreaBrowse> startWideAreaBrowse(const QByteArray &type, int protocol,
                                                    const WideAreaBrowseSettings &settings,
                                                    const WideAreaBrowseSink &sink);

// The wide-area library's exported functions, and the version of this interface it was
// built for.
constexpr int WideAreaInterfaceVersion = 5;
using NewWideArea = WideAreaPublication *(*)(int interfaceVersion, const PublishRequest &,
                                             const WideAreaSettings &);
#define QZEROCONF_WIDE_AREA_FACTORY "qzeroconf_new_wide_area"
using FinishWideAreaRemovals = void (*)();
#define QZEROCONF_WIDE_AREA_FINISH "qzeroconf_finish_wide_area_removals"
using NewWideAreaBrowse = WideAreaBrowse *(*)(int interfaceVersion, const QByteArray &type,
                                              int protocol, const WideAreaBrowseSettings &,
                                              const WideAreaBrowseSink &);
#define QZEROCONF_WIDE_AREA_BROWSE "qzeroconf_new_wide_area_browse"

} // namespace QZeroConfInternal

#endif
