// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#ifndef QZEROCONF_LOGGING_P_H
#define QZEROCONF_LOGGING_P_H

#include <QLoggingCategory>

// "qzeroconf": the component's own decisions (renames, failures, backend choice).
// "qzeroconf.engine": everything the mDNS engine itself says. Both show warnings and
// above by default; QT_LOGGING_RULES="qzeroconf*.debug=true" shows the rest.
Q_DECLARE_LOGGING_CATEGORY(lcZeroConf)
Q_DECLARE_LOGGING_CATEGORY(lcZeroConfEngine)

#endif
