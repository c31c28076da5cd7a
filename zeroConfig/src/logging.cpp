// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
#include "logging_p.h"

Q_LOGGING_CATEGORY(lcZeroConf, "qzeroconf", QtWarningMsg)
Q_LOGGING_CATEGORY(lcZeroConfEngine, "qzeroconf.engine", QtWarningMsg)
