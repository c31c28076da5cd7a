#include "widearea_p.h"

#include "logging_p.h"
#include "moduleloader_p.h"

#include <QFile>

namespace QZeroConfInternal {

#ifdef QZEROCONF_UNICAST_MODULE
namespace {

// Whether the resolver configuration names a search domain: only under one can a
// registration domain be advertised (RFC 6763 section 11).
bool hasSearchDomain()
{
    QFile conf(QStringLiteral("/etc/resolv.conf"));
    if (!conf.open(QIODevice::ReadOnly))
        return false;
    bool found = false;
    for (const QByteArray &line : conf.readAll().split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        // The last "search" or "domain" line wins, as in the C library.
        if (words.value(0) == "search" || words.value(0) == "domain")
            found = words.size() > 1 && words[1] != "." && !words[1].startsWith('#') &&
                    !words[1].startsWith(';');
    }
    return found;
}

} // namespace
#endif

std::unique_ptr<WideAreaPublication> startWideArea(const PublishRequest &request,
                                                   const WideAreaSettings &settings)
{
#ifndef QZEROCONF_UNICAST_MODULE
    Q_UNUSED(request)
    Q_UNUSED(settings)
    return nullptr;
#else
    if (settings.domain.isEmpty() && !hasSearchDomain()) {
        qCDebug(lcZeroConf) << "wide-area: no search domain, so no registration domain";
        return nullptr;
    }
    QString why;
    auto factory = reinterpret_cast<NewWideArea>(loadModuleFunction(
        QStringLiteral(QZEROCONF_UNICAST_MODULE), QZEROCONF_WIDE_AREA_FACTORY, &why));
    WideAreaPublication *p =
        factory ? factory(WideAreaInterfaceVersion, request, settings) : nullptr;
    if (!p)
        qCDebug(lcZeroConf).noquote() << QStringLiteral("wide-area: not available: %1").arg(why);
    return std::unique_ptr<WideAreaPublication>(p);
#endif
}

} // namespace QZeroConfInternal
