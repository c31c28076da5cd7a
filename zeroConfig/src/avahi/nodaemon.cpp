// Built without the daemon backend: the embedded responder is all there is, and the
// component needs neither D-Bus nor libavahi-client.
#include "browser_p.h"
#include "daemonbackend_p.h"
#include "publisher_p.h"

namespace QZeroConfInternal {

QString probeDaemon(QString *why)
{
    *why = QStringLiteral("built without the daemon backend");
    return QString();
}

std::unique_ptr<Publisher> newDaemonPublisher(const PublishRequest &)
{
    return nullptr;
}

std::unique_ptr<Browser> newDaemonBrowser(const QByteArray &, int)
{
    return nullptr;
}

} // namespace QZeroConfInternal
