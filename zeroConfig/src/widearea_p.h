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
// of it. Deleting it deletes the records, waiting about a second at most for the server.
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

// The wide-area library's one exported function, and the version of this interface it
// was built for.
constexpr int WideAreaInterfaceVersion = 1;
using NewWideArea = WideAreaPublication *(*)(int interfaceVersion, const PublishRequest &,
                                             const WideAreaSettings &);
#define QZEROCONF_WIDE_AREA_FACTORY "qzeroconf_new_wide_area"

} // namespace QZeroConfInternal

#endif
