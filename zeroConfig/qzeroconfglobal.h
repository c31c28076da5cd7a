// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONFGLOBAL_H
#define QZEROCONFGLOBAL_H

#include <QtCore/qglobal.h>

#if defined(QZEROCONF_STATIC)
#define QZEROCONF_EXPORT
#elif defined(QZEROCONF_LIBRARY)
#define QZEROCONF_EXPORT Q_DECL_EXPORT
#else
#define QZEROCONF_EXPORT Q_DECL_IMPORT
#endif

#endif
