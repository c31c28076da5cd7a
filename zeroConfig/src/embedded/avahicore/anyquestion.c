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
/* avahi_server_prepare_matching_responses for our private libavahi-core, to take the
 * place of server.c's own (built in by the step that swaps single functions of server.c).
 *
 * Every probe asks a question of type ANY, the responder hears its own probes, and the
 * library answered each such question by walking every record we publish: with N
 * services, N^2 name comparisons. Here a question of type or class ANY is answered
 * through the server's own table by key, one lookup for each type a record of ours can
 * have, as questions of one type always were. Nothing is kept between calls: one server
 * per thread may run, and nothing has to be freed with it. */

#ifdef HAVE_CONFIG_H
#include <config.h>
#endif

#include <stddef.h>

#include <avahi-common/domain.h>
#include <avahi-common/malloc.h>

#include "announce.h"
#include "internal.h"
#include "rr-util.h"

/* The types this responder publishes records of: addresses, services, host info, and
 * the CNAME that answers for any type. */
static const uint16_t published_types[] = {
    AVAHI_DNS_TYPE_A,   AVAHI_DNS_TYPE_AAAA, AVAHI_DNS_TYPE_PTR,   AVAHI_DNS_TYPE_SRV,
    AVAHI_DNS_TYPE_TXT, AVAHI_DNS_TYPE_HINFO, AVAHI_DNS_TYPE_CNAME,
};

static void prepare_key(AvahiServer *s, AvahiInterface *i, AvahiKey *k, int unicast_response)
{
    AvahiEntry *e;
    for (e = avahi_hashmap_lookup(s->entries_by_key, k); e; e = e->by_key_next)
        if (!e->dead && avahi_entry_is_registered(s, e, i))
            avahi_server_prepare_response(s, i, e, unicast_response, 0);
}

void avahi_server_prepare_matching_responses(AvahiServer *s, AvahiInterface *i, AvahiKey *k,
                                             int unicast_response)
{
    if (!avahi_key_is_pattern(k)) {
        prepare_key(s, i, k, unicast_response);
    } else if (k->type != AVAHI_DNS_TYPE_ANY) {
        /* Class ANY, one type: our records are all of class IN. */
        AvahiKey *key = avahi_key_new(k->name, AVAHI_DNS_CLASS_IN, k->type);
        if (key) {
            prepare_key(s, i, key, unicast_response);
            avahi_key_unref(key);
        }
    } else {
        unsigned j;
        for (j = 0; j < sizeof published_types / sizeof published_types[0]; j++) {
            AvahiKey *key = avahi_key_new(k->name, AVAHI_DNS_CLASS_IN, published_types[j]);
            if (!key)
                continue;
            if (avahi_key_pattern_match(k, key))
                prepare_key(s, i, key, unicast_response);
            avahi_key_unref(key);
        }
    }

    /* A name with a CNAME answers for any type but ANY and CNAME itself. */
    if ((k->clazz == AVAHI_DNS_CLASS_IN || k->clazz == AVAHI_DNS_CLASS_ANY) &&
        k->type != AVAHI_DNS_TYPE_CNAME && k->type != AVAHI_DNS_TYPE_ANY) {
        AvahiKey *cname = avahi_key_new(k->name, AVAHI_DNS_CLASS_IN, AVAHI_DNS_TYPE_CNAME);
        if (!cname)
            return;
        avahi_server_prepare_matching_responses(s, i, cname, unicast_response);
        avahi_key_unref(cname);
    }
}
