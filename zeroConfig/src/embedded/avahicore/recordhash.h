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
/* A hash of a record for the tables of our probe scheduler and cache: records that
 * avahi_record_equal_no_ttl takes for equal hash alike (names without regard to case).
 * The target goes in for PTR and SRV because the PTR records of one type share a key. */
#ifndef LANBEACON_AVAHICORE_RECORDHASH_H
#define LANBEACON_AVAHICORE_RECORDHASH_H

#include <avahi-common/domain.h>

#include "rr.h"

static inline unsigned lanbeacon_record_hash(const AvahiRecord *r)
{
    unsigned h = avahi_key_hash(r->key);
    switch (r->key->type) {
    case AVAHI_DNS_TYPE_PTR:
    case AVAHI_DNS_TYPE_CNAME:
    case AVAHI_DNS_TYPE_NS:
        return h * 31 + avahi_domain_hash(r->data.ptr.name);
    case AVAHI_DNS_TYPE_SRV:
        return h * 31 + avahi_domain_hash(r->data.srv.name) + r->data.srv.port;
    default:
        return h;
    }
}

#endif
