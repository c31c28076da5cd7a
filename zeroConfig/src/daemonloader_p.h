#ifndef QZEROCONF_DAEMONLOADER_P_H
#define QZEROCONF_DAEMONLOADER_P_H

#include "engine_p.h"

#include <memory>

namespace QZeroConfInternal {

// The host daemon's engine, from the library that holds it, where a system bus exists.
// Null, with the reason in *why, otherwise.
std::unique_ptr<Engine> loadDaemonEngine(QString *why);

} // namespace QZeroConfInternal

#endif
