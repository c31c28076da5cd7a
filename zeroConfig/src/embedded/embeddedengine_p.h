// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_EMBEDDEDENGINE_P_H
#define QZEROCONF_EMBEDDEDENGINE_P_H

#include "../engine_p.h"

#include <memory>

namespace QZeroConfInternal {

// The embedded responder: the Avahi core library in process, driven by the event loop
// of the thread that makes it. It announces no host name of its own: every address
// record comes from a group, so that several host names can share one responder.
std::unique_ptr<Engine> newEmbeddedEngine();

// Whether the engine's own calls reach its own functions in this process. Empty when
// they do; otherwise why not (another library loaded ahead of it exports a function of
// the same name, and the engine would call that instead, crashing or hanging).
QString embeddedEngineHazard();

} // namespace QZeroConfInternal

#endif
