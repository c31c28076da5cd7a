#ifndef QZEROCONF_DAEMONLOADER_P_H
#define QZEROCONF_DAEMONLOADER_P_H

#include "engine_p.h"

#include <QString>

#include <memory>

namespace QZeroConfInternal {

// Loads the daemon engine's library (and with it QtDBus) only where a system bus
// exists: from the directory of the module that holds the component, then from the
// directory it was installed to. Null, with the reason in *why, otherwise.
std::unique_ptr<Engine> loadDaemonEngine(QString *why);

// Whether DBUS_SYSTEM_BUS_ADDRESS (or the usual socket when it is unset) names a bus
// that exists; *where tells which.
bool systemBusExists(QString *where);

} // namespace QZeroConfInternal

#endif
