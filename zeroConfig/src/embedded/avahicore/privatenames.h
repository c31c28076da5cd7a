/* SPDX-License-Identifier: LGPL-2.1-or-later
 * SPDX-FileCopyrightText: 2004-2015 the Avahi developers (Lennart Poettering, Trent Lloyd, ...)
 * SPDX-FileCopyrightText: 2026 lanbeacon developers
 *
 * This file adapts code of the Avahi core library (avahi 0.8, Debian's 0.8-10+deb12u1),
 * which is free software under the GNU Lesser General Public License, version 2.1 or
 * (at your option) any later version; so is this file. It is built only into the
 * private copy of that library (LANBEACON_PRIVATE_AVAHI_CORE).
 * Changes: 2026-11, the lanbeacon developers rewrote it for linear-time lookups, fresh
 * per-reply delays and the RFC 6762 rules described below; 2026-12-09, this notice.
 * This program is distributed WITHOUT ANY WARRANTY; see LICENSES/LGPL-2.1-or-later.txt.
 */
/* Forced into every source of our private libavahi-core (-include): functions of
 * libavahi-common that the private core brings its own versions of. Hidden, the core's
 * calls bind to them when it is linked, whichever libavahi-common the process loaded. */
#ifndef LANBEACON_AVAHICORE_PRIVATENAMES_H
#define LANBEACON_AVAHICORE_PRIVATENAMES_H
__attribute__((visibility("hidden"))) int avahi_domain_equal(const char *a, const char *b);
#endif
