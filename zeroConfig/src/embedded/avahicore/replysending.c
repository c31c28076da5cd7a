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
/* avahi_server_generate_response of server.c: hands the records gathered in
 * s->record_list to the reply scheduler, or sends them by unicast.
 *
 * Beside the library's rules, two of RFC 6762: a query with the TC bit is answered after
 * 400-500 ms, time for the known answers in the packets that follow it (section 7.2); and
 * a question asking for a unicast reply (QU) gets one, unless we have not multicast the
 * record within a quarter of its TTL, when the other caches on the link need it too
 * (section 5.4). The library multicast it unless it had just been sent. */

#include <sys/time.h>

#include "replyscheduler.h"

#define LANBEACON_TRUNCATED_DEFER_MSEC 400
#define LANBEACON_TRUNCATED_JITTER_MSEC 100

/* Adds r to the unicast reply being filled, first sending the reply if r no longer fits. */
static void lanbeacon_add_unicast(AvahiInterface *i, AvahiDnsPacket *query, AvahiDnsPacket **reply,
                                  const AvahiAddress *a, uint16_t port, AvahiRecord *r, int flush_cache) {
    size_t size;

    if (*reply && avahi_dns_packet_append_record(*reply, r, flush_cache, 0)) {
        avahi_dns_packet_inc_field(*reply, AVAHI_DNS_FIELD_ANCOUNT);
        return;
    }
    if (*reply) {
        if (avahi_dns_packet_get_field(*reply, AVAHI_DNS_FIELD_ANCOUNT))
            avahi_interface_send_packet_unicast(i, *reply, a, port);
        avahi_dns_packet_free(*reply);
    }
    /* A record larger than the link's MTU goes alone in a packet of its size (fragmented). */
    size = avahi_record_get_estimate_size(r) + AVAHI_DNS_PACKET_HEADER_SIZE + AVAHI_DNS_PACKET_EXTRA_SIZE;
    if (size < i->hardware->mtu)
        size = i->hardware->mtu;
    if (!(*reply = avahi_dns_packet_new_reply(query, size, 0, 0)))
        return;
    if (avahi_dns_packet_append_record(*reply, r, flush_cache, 0))
        avahi_dns_packet_inc_field(*reply, AVAHI_DNS_FIELD_ANCOUNT);
    else
        avahi_log_warn("A record of %s does not fit in a packet, not sent.", r->key->name);
}

/* A resolver that is not an mDNS querier: one plain DNS reply of at most 512 bytes, with
 * TTLs of at most 10 s because it caches them as ordinary DNS (RFC 6762 section 6.7). */
static void lanbeacon_legacy_reply(AvahiServer *s, AvahiInterface *i, AvahiDnsPacket *p,
                                   const AvahiAddress *a, uint16_t port) {
    AvahiDnsPacket *reply = avahi_dns_packet_new_reply(p, 512 + AVAHI_DNS_PACKET_EXTRA_SIZE, 1, 1);
    AvahiRecord *r;

    while ((r = avahi_record_list_next(s->record_list, NULL, NULL, NULL))) {
        append_aux_records_to_list(s, i, r, 0);
        if (reply && avahi_dns_packet_append_record(reply, r, 0, 10))
            avahi_dns_packet_inc_field(reply, AVAHI_DNS_FIELD_ANCOUNT);
        else if (reply)
            avahi_log_warn("A record of %s does not fit in the legacy unicast reply, dropped.", r->key->name);
        avahi_record_unref(r);
    }
    if (reply) {
        if (avahi_dns_packet_get_field(reply, AVAHI_DNS_FIELD_ANCOUNT))
            avahi_interface_send_packet_unicast(i, reply, a, port);
        avahi_dns_packet_free(reply);
    }
}

void avahi_server_generate_response(AvahiServer *s, AvahiInterface *i, AvahiDnsPacket *p, const AvahiAddress *a,
                                    uint16_t port, int legacy_unicast, int immediately) {
    AvahiDnsPacket *reply = NULL;
    AvahiRecord *r;
    int flush_cache, unicast_response, auxiliary;
    int truncated = p && (avahi_dns_packet_get_field(p, AVAHI_DNS_FIELD_FLAGS) & AVAHI_DNS_FLAG_TC);

    assert(s);
    assert(i);
    assert(!legacy_unicast || (a && port > 0 && p));

    if (legacy_unicast) {
        lanbeacon_legacy_reply(s, i, p, a, port);
        avahi_record_list_flush(s->record_list);
        return;
    }

    while ((r = avahi_record_list_next(s->record_list, &flush_cache, &unicast_response, &auxiliary))) {
        int posted;

        if (unicast_response && p && lanbeacon_reply_multicast_recently(i->response_scheduler, r))
            posted = 0;
        else if (truncated)
            posted = i->announcing && lanbeacon_reply_post_after(i->response_scheduler, r, flush_cache, a,
                                                                 LANBEACON_TRUNCATED_DEFER_MSEC,
                                                                 LANBEACON_TRUNCATED_JITTER_MSEC);
        else
            /* Unique records go at once, unless a shared one, which must wait, goes with them. */
            posted = avahi_interface_post_response(
                i, r, flush_cache, a,
                immediately || (flush_cache && !auxiliary && avahi_record_list_all_flush_cache(s->record_list)));

        /* Not multicast (sent just before, or known to the querier): a QU question still
         * gets its answer. */
        if (!posted && unicast_response && p) {
            append_aux_records_to_list(s, i, r, unicast_response);
            lanbeacon_add_unicast(i, p, &reply, a, port, r, flush_cache);
        }
        avahi_record_unref(r);
    }

    if (reply) {
        if (avahi_dns_packet_get_field(reply, AVAHI_DNS_FIELD_ANCOUNT))
            avahi_interface_send_packet_unicast(i, reply, a, port);
        avahi_dns_packet_free(reply);
    }
    avahi_record_list_flush(s->record_list);
}
