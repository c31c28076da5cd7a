#ifndef QZEROCONF_DAEMONBACKEND_P_H
#define QZEROCONF_DAEMONBACKEND_P_H

#include <QByteArray>
#include <QString>

#include <memory>

namespace QZeroConfInternal {

class Browser;
class Publisher;
struct PublishRequest;

// Asks the system D-Bus whether the host's mDNS daemon runs. Returns its version
// ("avahi 0.8"), or an empty string and the reason in *why (also when the component was
// built without the daemon backend).
QString probeDaemon(QString *why);

// A publisher or browser that goes through the daemon; only after probeDaemon() found it.
std::unique_ptr<Publisher> newDaemonPublisher(const PublishRequest &request);
std::unique_ptr<Browser> newDaemonBrowser(const QByteArray &type, int avahiProtocol);

} // namespace QZeroConfInternal

#endif
