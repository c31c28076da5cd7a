// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_WIDEAREA_P_H
#define QZEROCONF_WIDEAREA_P_H

#include "publishrequest_p.h"

#include <QByteArray>
#include <QString>

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

// The wide-area library's exported functions, and the version of this interface it was
// built for.
constexpr int WideAreaInterfaceVersion = 3;
using NewWideArea = WideAreaPublication *(*)(int interfaceVersion, const PublishRequest &,
                                             const WideAreaSettings &);
#define QZEROCONF_WIDE_AREA_FACTORY "qzeroconf_new_wide_area"
using FinishWideAreaRemovals = void (*)();
#define QZEROCONF_WIDE_AREA_FINISH "qzeroconf_finish_wide_area_removals"

} // namespace QZeroConfInternal

#endif
