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
/* handle_query_packet of server.c: gathers the answers to a query's questions, drops the
 * known answers it carries, and takes note of the probes in it.
 *
 * Beside the library's work: a question for a type that a name of ours lacks, where the
 * name is one we own alone (unique records), is answered by an NSEC record that lists
 * the types the name has (RFC 6762 section 6.1), so the querier stops asking. */

#include <string.h>

#define LANBEACON_DNS_TYPE_NSEC 47

/* The types this responder publishes; a name's other types, if any, are not listed. Looked
 * up one by one: a walk over every entry would cost each question the whole table. */
static const uint16_t lanbeacon_nsec_types[] = {
    AVAHI_DNS_TYPE_A,   AVAHI_DNS_TYPE_CNAME, AVAHI_DNS_TYPE_PTR, AVAHI_DNS_TYPE_HINFO,
    AVAHI_DNS_TYPE_TXT, AVAHI_DNS_TYPE_AAAA,  AVAHI_DNS_TYPE_SRV,
};

/* Whether we have a registered record of the key: 0 none, 1 shared only, 2 a unique one;
 * *ttl becomes the lowest TTL among them. */
static int lanbeacon_owned(AvahiServer *s, AvahiInterface *i, AvahiKey *k, uint32_t *ttl) {
    AvahiEntry *e;
    int owned = 0;

    for (e = avahi_hashmap_lookup(s->entries_by_key, k); e; e = e->by_key_next)
        if (!e->dead && avahi_entry_is_registered(s, e, i)) {
            if (!owned || e->record->ttl < *ttl)
                *ttl = e->record->ttl;
            if (e->flags & AVAHI_PUBLISH_UNIQUE)
                owned = 2;
            else if (!owned)
                owned = 1;
        }
    return owned;
}

static void lanbeacon_push_nsec(AvahiServer *s, AvahiInterface *i, AvahiKey *k, int unicast_response) {
    /* rdata: the name itself as next name (uncompressed), then the bitmap of window 0 */
    uint8_t rdata[255 + 2 + 32];
    char label[AVAHI_LABEL_MAX];
    const char *name = k->name;
    uint32_t ttl = 0, type_ttl;
    size_t n = 0, b;
    int unique = 0, highest = -1, owned;
    uint8_t bits[32];
    AvahiRecord *r;

    if (k->clazz != AVAHI_DNS_CLASS_IN || avahi_key_is_pattern(k) || lanbeacon_owned(s, i, k, &type_ttl))
        return;
    memset(bits, 0, sizeof(bits));
    for (b = 0; b < sizeof(lanbeacon_nsec_types) / sizeof(lanbeacon_nsec_types[0]); b++) {
        AvahiKey *other = avahi_key_new(k->name, AVAHI_DNS_CLASS_IN, lanbeacon_nsec_types[b]);
        if (!other)
            return;
        owned = lanbeacon_owned(s, i, other, &type_ttl);
        avahi_key_unref(other);
        if (!owned)
            continue;
        unique |= owned == 2;
        if (highest < 0 || type_ttl < ttl)
            ttl = type_ttl;
        bits[lanbeacon_nsec_types[b] / 8] |= 0x80 >> (lanbeacon_nsec_types[b] % 8);
        if (lanbeacon_nsec_types[b] > highest)
            highest = lanbeacon_nsec_types[b];
    }
    if (!unique)
        return;

    while (*name) {
        size_t length;
        if (!avahi_unescape_label(&name, label, sizeof(label)))
            return;
        length = strlen(label);
        if (!length || n + length + 2 > 255)
            return;
        rdata[n++] = (uint8_t)length;
        memcpy(rdata + n, label, length);
        n += length;
    }
    rdata[n++] = 0;
    rdata[n++] = 0;
    rdata[n++] = (uint8_t)(highest / 8 + 1);
    memcpy(rdata + n, bits, highest / 8 + 1);
    n += highest / 8 + 1;

    if (!(r = avahi_record_new_full(k->name, AVAHI_DNS_CLASS_IN, LANBEACON_DNS_TYPE_NSEC, ttl)))
        return;
    if ((r->data.generic.data = avahi_memdup(rdata, n))) {
        r->data.generic.size = n;
        avahi_record_list_push(s->record_list, r, 1, unicast_response, 0);
    }
    avahi_record_unref(r);
}

static void handle_query_packet(AvahiServer *s, AvahiDnsPacket *p, AvahiInterface *i, const AvahiAddress *a,
                                uint16_t port, int legacy_unicast, int from_local_iface) {
    unsigned n;
    int probe = avahi_dns_packet_get_field(p, AVAHI_DNS_FIELD_NSCOUNT) > 0;
    /* A query with known answers, or more to come, may not answer all we wanted to know:
     * only a plain one stands in for our own question. */
    int plain = avahi_dns_packet_get_field(p, AVAHI_DNS_FIELD_ANCOUNT) == 0 &&
                !(avahi_dns_packet_get_field(p, AVAHI_DNS_FIELD_FLAGS) & AVAHI_DNS_FLAG_TC);

    assert(s);
    assert(p);
    assert(i);
    assert(a);
    assert(avahi_record_list_is_empty(s->record_list));

    for (n = avahi_dns_packet_get_field(p, AVAHI_DNS_FIELD_QDCOUNT); n > 0; n--) {
        int unicast_response = 0;
        AvahiKey *k = avahi_dns_packet_consume_key(p, &unicast_response);

        if (!k) {
            avahi_log_debug(__FILE__ ": a question that cannot be read, query dropped.");
            goto fail;
        }
        if (!legacy_unicast && !from_local_iface) {
            reflect_query(s, i, k);
            if (!unicast_response)
                avahi_cache_start_poof(i->cache, k, a);
        }
        if (plain)
            avahi_query_scheduler_incoming(i->query_scheduler, k);
        avahi_server_prepare_matching_responses(s, i, k, unicast_response);
        lanbeacon_push_nsec(s, i, k, unicast_response);
        avahi_key_unref(k);
    }

    if (!legacy_unicast) {
        for (n = avahi_dns_packet_get_field(p, AVAHI_DNS_FIELD_ANCOUNT); n > 0; n--) {
            int unique = 0;
            AvahiRecord *known = avahi_dns_packet_consume_record(p, &unique);
            if (!known) {
                avahi_log_debug(__FILE__ ": a known answer that cannot be read, query dropped.");
                goto fail;
            }
            avahi_response_scheduler_suppress(i->response_scheduler, known, a);
            avahi_record_list_drop(s->record_list, known);
            avahi_cache_stop_poof(i->cache, known, a);
            avahi_record_unref(known);
        }
        for (n = avahi_dns_packet_get_field(p, AVAHI_DNS_FIELD_NSCOUNT); n > 0; n--) {
            int unique = 0;
            AvahiRecord *claimed = avahi_dns_packet_consume_record(p, &unique);
            if (!claimed) {
                avahi_log_debug(__FILE__ ": a probe's record that cannot be read, query dropped.");
                goto fail;
            }
            if (!avahi_key_is_pattern(claimed->key)) {
                if (!from_local_iface)
                    reflect_probe(s, i, claimed);
                incoming_probe(s, claimed, i);
            }
            avahi_record_unref(claimed);
        }
    }

    if (!avahi_record_list_is_empty(s->record_list))
        avahi_server_generate_response(s, i, p, a, port, legacy_unicast, probe);
    return;

fail:
    avahi_record_list_flush(s->record_list);
}
