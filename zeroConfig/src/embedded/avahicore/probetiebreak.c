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
/* incoming_probe of server.c: a probe from another host for a record we are probing too.
 *
 * The probe whose data sorts later wins (RFC 6762 section 8.2). The library withdrew the
 * loser at once, which renamed it; the loser is to wait a second and probe again: if the
 * winner then takes the name, its announcements (or its answer to our probe) conflict
 * with our records and the usual rename follows; if it gave up, we keep the name. */

#include <sys/time.h>

#define LANBEACON_TIE_BREAK_DEFER_USEC 1000000

/* Probing starts over for the record and for the records of the same name in its group:
 * a probe carries all of a name's records, and one of them probed early would tell the
 * winner that we still claim the name. */
static void lanbeacon_defer_probing(AvahiServer *s, AvahiEntry *e, AvahiInterface *i) {
    struct timeval tv;
    AvahiAnnouncer *a;

    if (e->dead || !avahi_entry_is_probing(s, e, i))
        return;
    avahi_entry_return_to_initial_state(s, e, i);
    for (a = e->announcers; a; a = a->by_entry_next)
        if (a->interface == i && a->state == AVAHI_PROBING && a->time_event) {
            gettimeofday(&tv, NULL);
            avahi_timeval_add(&tv, LANBEACON_TIE_BREAK_DEFER_USEC);
            avahi_time_event_update(a->time_event, &tv);
        }
}

static void incoming_probe(AvahiServer *s, AvahiRecord *record, AvahiInterface *i) {
    AvahiEntry *e, *lost = NULL;
    int won = 0;

    for (e = avahi_hashmap_lookup(s->entries_by_key, record->key); e; e = e->by_key_next) {
        int order;
        if (e->dead)
            continue;
        order = avahi_record_lexicographical_compare(e->record, record);
        if (order == 0)
            return; /* the same record: ours too, no conflict */
        if (avahi_entry_is_probing(s, e, i)) {
            if (order > 0)
                won = 1;
            else if (!lost)
                lost = e;
        }
    }
    if (won || !lost)
        return;

    avahi_log_debug("Lost a simultaneous probe for %s: probing again in a second.", record->key->name);
    if (lost->group) {
        AvahiEntry *k;
        for (k = lost->group->entries; k; k = k->by_group_next)
            if (!k->dead && avahi_domain_equal(k->record->key->name, record->key->name))
                lanbeacon_defer_probing(s, k, i);
    } else {
        for (e = avahi_hashmap_lookup(s->entries_by_key, record->key); e; e = e->by_key_next)
            lanbeacon_defer_probing(s, e, i);
    }
}
