// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_MODULELOADER_P_H
#define QZEROCONF_MODULELOADER_P_H

#include "engine_p.h"

#include <QString>
#include <QtGlobal>

#include <memory>

namespace QZeroConfInternal {

// A function of one of the component's libraries that are loaded at run time, only
// where they are of use: from the directory of the module that holds the component,
// then from the directory it was installed to. Null, with the reason in *why, otherwise.
QFunctionPointer loadModuleFunction(const QString &module, const char *symbol, QString *why);

// Loads the daemon engine's library (and with it QtDBus) only where a system bus
// exists. Null, with the reason in *why, otherwise.
// *busMissing, where given, tells whether the system bus was all that was missing: it may
// still come, during boot.
std::unique_ptr<Engine> loadDaemonEngine(QString *why, bool *busMissing = nullptr);

// Whether DBUS_SYSTEM_BUS_ADDRESS (or the usual socket when it is unset) names a bus
// that exists; *where tells which.
bool systemBusExists(QString *where);

} // namespace QZeroConfInternal

#endif
