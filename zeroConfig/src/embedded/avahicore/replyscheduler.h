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
/* What our reply scheduler (replyscheduler.c) offers beyond the library's response-sched.h,
 * for our replacements of functions of server.c. */
#ifndef LANBEACON_AVAHICORE_REPLYSCHEDULER_H
#define LANBEACON_AVAHICORE_REPLYSCHEDULER_H

#include "response-sched.h"

/* As avahi_response_scheduler_post, the reply delayed by defer_msec plus a random part of
 * jitter_msec. */
int lanbeacon_reply_post_after(AvahiResponseScheduler *s, AvahiRecord *record, int flush_cache,
                               const AvahiAddress *querier, unsigned defer_msec,
                               unsigned jitter_msec);

/* Whether we multicast the record within the last quarter of its TTL. */
int lanbeacon_reply_multicast_recently(AvahiResponseScheduler *s, AvahiRecord *record);

#endif
