#ifndef QZEROCONF_ENGINE_P_H
#define QZEROCONF_ENGINE_P_H

#include <avahi-core/core.h>

#include <QByteArray>
#include <QString>

namespace QZeroConfInternal {

// A new embedded responder. hostLabel names this machine on the network (empty: the
// system's host name). A responder only for browsing publishes nothing, not even its
// host name, so it never probes and never has a conflict.
AvahiServer *newAvahiServer(const AvahiPoll *poll, const QByteArray &hostLabel, bool publishing,
                            AvahiServerCallback callback, void *userdata, QString *error);

QString avahiError(int error);

} // namespace QZeroConfInternal

#endif
