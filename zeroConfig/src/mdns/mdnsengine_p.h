// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_MDNS_MDNSENGINE_P_H
#define QZEROCONF_MDNS_MDNSENGINE_P_H

#include "../engine_p.h"
#include "core_p.h"

#include <memory>

namespace QZeroConfInternal {

// The engine of our own (core_p.h) behind the engine interface, on real sockets and
// timers, answering on the links and addresses that AddressWatch reports.
std::unique_ptr<Engine> newMdnsEngine();
// The same on a seam of the caller's, which must outlive the engine, with fixed links:
// for tests.
std::unique_ptr<Engine> newMdnsEngine(Mdns::Clock &clock, Mdns::Transport &transport,
                                      const QVector<Mdns::Link> &links);

} // namespace QZeroConfInternal

#endif
