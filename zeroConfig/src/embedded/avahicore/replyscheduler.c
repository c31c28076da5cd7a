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
/* The core's reply scheduler (the functions of response-sched.h), built into our private
 * libavahi-core in place of the library's own.
 *
 * Two things differ from the library's: each reply is delayed by a fresh random draw
 * (20-120 ms for shared records), where the library reused one draw for 10 s; and the
 * pending, recently sent and known-answer-suppressed replies are found through a hash
 * table instead of a walk over every one of them, which made publishing N services cost
 * N^2 name comparisons. */

#ifdef HAVE_CONFIG_H
#include <config.h>
#endif

#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include <avahi-common/domain.h>
#include <avahi-common/malloc.h>
#include <avahi-common/timeval.h>

#include "log.h"
#include "replyscheduler.h"
#include "response-sched.h"
#include "rr-util.h"

/* How long a sent reply suppresses the same one, how long a known answer keeps ours back,
 * and the delay of a reply to a multicast question. */
#define HISTORY_USEC 500000
#define SUPPRESS_USEC 700000
#define DEFER_MSEC 20
#define JITTER_MSEC 100

/* SENT keeps, for a quarter of its TTL, when we last multicast a record: the time a
 * question asking for a unicast reply may have one (RFC 6762 section 5.4). */
enum { SCHEDULED, DONE, SUPPRESSED, SENT, STATES };

typedef struct Job Job;
struct Job
{
    AvahiResponseScheduler *scheduler;
    AvahiTimeEvent *time_event;
    int state;
    struct timeval delivery;
    AvahiRecord *record;
    unsigned hash;
    int flush_cache;
    AvahiAddress querier;
    int querier_valid;
    Job *prev, *next; /* the jobs of one state, newest first */
    Job *bucket_next;
};

/* The jobs of one state: a list that keeps the order packets are filled in, and a hash
 * table over the record. */
typedef struct
{
    Job *head;
    Job **buckets;
    unsigned size, count;
} JobSet;

struct AvahiResponseScheduler
{
    AvahiInterface *interface;
    AvahiTimeEventQueue *time_event_queue;
    JobSet sets[STATES];
};

/* Equal records (avahi_record_equal_no_ttl) must hash alike: names case-insensitively.
 * The target goes in for PTR and SRV because one type's PTR records share a key. */
static unsigned record_hash(const AvahiRecord *r)
{
    unsigned h = avahi_key_hash(r->key);
    switch (r->key->type) {
    case AVAHI_DNS_TYPE_PTR:
    case AVAHI_DNS_TYPE_CNAME:
    case AVAHI_DNS_TYPE_NS:
        h = h * 31 + avahi_domain_hash(r->data.ptr.name);
        break;
    case AVAHI_DNS_TYPE_SRV:
        h = h * 31 + avahi_domain_hash(r->data.srv.name) + r->data.srv.port;
        break;
    default:
        break;
    }
    return h;
}

static void set_grow(JobSet *set)
{
    unsigned size = set->size ? set->size * 2 : 64, i;
    Job **buckets = avahi_new0(Job *, size);
    if (!buckets)
        return; /* stays correct, only slower */
    for (i = 0; i < set->size; i++) {
        Job *j = set->buckets[i], *next;
        for (; j; j = next) {
            next = j->bucket_next;
            j->bucket_next = buckets[j->hash & (size - 1)];
            buckets[j->hash & (size - 1)] = j;
        }
    }
    avahi_free(set->buckets);
    set->buckets = buckets;
    set->size = size;
}

static void set_add(JobSet *set, Job *j)
{
    if (set->count >= set->size)
        set_grow(set);
    j->prev = NULL;
    j->next = set->head;
    if (set->head)
        set->head->prev = j;
    set->head = j;
    if (set->size) {
        Job **b = &set->buckets[j->hash & (set->size - 1)];
        j->bucket_next = *b;
        *b = j;
    }
    set->count++;
}

static void set_remove(JobSet *set, Job *j)
{
    if (j->prev)
        j->prev->next = j->next;
    else
        set->head = j->next;
    if (j->next)
        j->next->prev = j->prev;
    if (set->size) {
        Job **b = &set->buckets[j->hash & (set->size - 1)];
        while (*b && *b != j)
            b = &(*b)->bucket_next;
        if (*b)
            *b = j->bucket_next;
    }
    set->count--;
}

static Job *set_find(JobSet *set, AvahiRecord *record, unsigned hash, const AvahiAddress *querier)
{
    Job *j;
    if (!set->size) {
        for (j = set->head; j; j = j->next)
            if (avahi_record_equal_no_ttl(j->record, record) &&
                (!querier || avahi_address_cmp(&j->querier, querier) == 0))
                return j;
        return NULL;
    }
    for (j = set->buckets[hash & (set->size - 1)]; j; j = j->bucket_next)
        if (j->hash == hash && avahi_record_equal_no_ttl(j->record, record) &&
            (!querier || avahi_address_cmp(&j->querier, querier) == 0))
            return j;
    return NULL;
}

static void elapse_callback(AvahiTimeEvent *e, void *data);

static Job *job_new(AvahiResponseScheduler *s, AvahiRecord *record, unsigned hash, int state)
{
    Job *j = avahi_new0(Job, 1);
    if (!j) {
        avahi_log_error(__FILE__ ": Out of memory");
        return NULL;
    }
    j->scheduler = s;
    j->record = avahi_record_ref(record);
    j->hash = hash;
    j->state = state;
    set_add(&s->sets[state], j);
    return j;
}

static void job_free(AvahiResponseScheduler *s, Job *j)
{
    if (j->time_event)
        avahi_time_event_free(j->time_event);
    set_remove(&s->sets[j->state], j);
    avahi_record_unref(j->record);
    avahi_free(j);
}

static void job_set_record(Job *j, AvahiRecord *record)
{
    avahi_record_unref(j->record);
    j->record = avahi_record_ref(record);
}

/* Keeps the job as sent (or suppressed) for usec from now, then drops it. */
static void job_expire_in(AvahiResponseScheduler *s, Job *j, unsigned usec)
{
    struct timeval tv;
    gettimeofday(&j->delivery, NULL);
    tv = j->delivery;
    avahi_timeval_add(&tv, usec);
    if (j->time_event)
        avahi_time_event_update(j->time_event, &tv);
    else
        j->time_event = avahi_time_event_new(s->time_event_queue, &tv, elapse_callback, j);
}

static void job_mark_done(AvahiResponseScheduler *s, Job *j)
{
    set_remove(&s->sets[SCHEDULED], j);
    j->state = DONE;
    set_add(&s->sets[DONE], j);
    job_expire_in(s, j, HISTORY_USEC);
}

static Job *find_scheduled(AvahiResponseScheduler *s, AvahiRecord *record, unsigned hash)
{
    return set_find(&s->sets[SCHEDULED], record, hash, NULL);
}

/* A job found past its time is dropped here rather than waiting for its timer. */
static Job *find_recent(AvahiResponseScheduler *s, int state, AvahiRecord *record, unsigned hash,
                        const AvahiAddress *querier)
{
    Job *j = set_find(&s->sets[state], record, hash, querier);
    if (j && avahi_age(&j->delivery) > (state == DONE ? HISTORY_USEC : SUPPRESS_USEC)) {
        job_free(s, j);
        return NULL;
    }
    return j;
}

AvahiResponseScheduler *avahi_response_scheduler_new(AvahiInterface *i)
{
    AvahiResponseScheduler *s = avahi_new0(AvahiResponseScheduler, 1);
    if (!s) {
        avahi_log_error(__FILE__ ": Out of memory");
        return NULL;
    }
    s->interface = i;
    s->time_event_queue = i->monitor->server->time_event_queue;
    return s;
}

void avahi_response_scheduler_clear(AvahiResponseScheduler *s)
{
    int state;
    for (state = 0; state < STATES; state++)
        while (s->sets[state].head)
            job_free(s, s->sets[state].head);
}

void avahi_response_scheduler_free(AvahiResponseScheduler *s)
{
    int state;
    avahi_response_scheduler_clear(s);
    for (state = 0; state < STATES; state++)
        avahi_free(s->sets[state].buckets);
    avahi_free(s);
}

static void post_aux_record(AVAHI_GCC_UNUSED AvahiServer *server, AvahiRecord *r, int flush_cache,
                            void *userdata)
{
    Job *j = userdata;
    avahi_response_scheduler_post(j->scheduler, r, flush_cache,
                                  j->querier_valid ? &j->querier : NULL, 0);
}

static void note_multicast(AvahiResponseScheduler *s, AvahiRecord *record, unsigned hash)
{
    Job *j = set_find(&s->sets[SENT], record, hash, NULL);
    if (!record->ttl)
        return;
    if (j)
        job_set_record(j, record);
    else if (!(j = job_new(s, record, hash, SENT)))
        return;
    job_expire_in(s, j, record->ttl * (AvahiUsec)250000);
}

int lanbeacon_reply_multicast_recently(AvahiResponseScheduler *s, AvahiRecord *record)
{
    Job *j = set_find(&s->sets[SENT], record, record_hash(record), NULL);
    return j && avahi_age(&j->delivery) < j->record->ttl * (AvahiUsec)250000;
}

static int packet_add_job(AvahiResponseScheduler *s, AvahiDnsPacket *p, Job *j)
{
    if (!avahi_dns_packet_append_record(p, j->record, j->flush_cache, 0))
        return 0;
    note_multicast(s, j->record, j->hash);
    /* The record goes out: the records that belong with it (SRV's address, ...) follow. */
    avahi_server_enumerate_aux_records(s->interface->monitor->server, s->interface, j->record,
                                       post_aux_record, j);
    job_mark_done(s, j);
    return 1;
}

/* Sends j, and as many other pending replies as fit in the same packet. */
static void send_reply(AvahiResponseScheduler *s, Job *j)
{
    unsigned n = 1;
    AvahiDnsPacket *p = avahi_dns_packet_new_response(s->interface->hardware->mtu, 1);
    if (!p)
        return;
    if (packet_add_job(s, p, j)) {
        while (s->sets[SCHEDULED].head && packet_add_job(s, p, s->sets[SCHEDULED].head))
            n++;
    } else {
        size_t size = avahi_record_get_estimate_size(j->record) + AVAHI_DNS_PACKET_HEADER_SIZE;
        avahi_dns_packet_free(p);
        if (!(p = avahi_dns_packet_new_response(size + AVAHI_DNS_PACKET_EXTRA_SIZE, 1)))
            return;
        if (!packet_add_job(s, p, j)) {
            avahi_dns_packet_free(p);
            avahi_log_warn("Record too large, cannot send");
            job_mark_done(s, j);
            return;
        }
    }
    avahi_dns_packet_set_field(p, AVAHI_DNS_FIELD_ANCOUNT, n);
    avahi_interface_send_packet(s->interface, p);
    avahi_dns_packet_free(p);
}

static void elapse_callback(AVAHI_GCC_UNUSED AvahiTimeEvent *e, void *data)
{
    Job *j = data;
    if (j->state == SCHEDULED)
        send_reply(j->scheduler, j);
    else
        job_free(j->scheduler, j);
}

/* Same goodbye-ness and a TTL not below half the other's: the one answer stands for the
 * other (the rule of known-answer and duplicate suppression). */
static int covers(AvahiRecord *r, AvahiRecord *other)
{
    return avahi_record_is_goodbye(r) == avahi_record_is_goodbye(other) && r->ttl >= other->ttl / 2;
}

static void reply_time(struct timeval *tv, unsigned defer_msec, unsigned jitter_msec)
{
    gettimeofday(tv, NULL);
    avahi_timeval_add(tv, (AvahiUsec)defer_msec * 1000 +
                              (AvahiUsec)(jitter_msec * 1000.0 * rand() / (RAND_MAX + 1.0)));
}

int avahi_response_scheduler_post(AvahiResponseScheduler *s, AvahiRecord *record, int flush_cache,
                                  const AvahiAddress *querier, int immediately)
{
    return lanbeacon_reply_post_after(s, record, flush_cache, querier, immediately ? 0 : DEFER_MSEC,
                                      immediately ? 0 : JITTER_MSEC);
}

int lanbeacon_reply_post_after(AvahiResponseScheduler *s, AvahiRecord *record, int flush_cache,
                               const AvahiAddress *querier, unsigned defer_msec, unsigned jitter_msec)
{
    unsigned hash = record_hash(record);
    struct timeval tv;
    Job *j;

    if (querier && (j = find_recent(s, SUPPRESSED, record, hash, querier)) &&
        covers(j->record, record))
        return 0;
    if ((j = find_recent(s, DONE, record, hash, NULL))) {
        if (covers(j->record, record) && (j->flush_cache || !flush_cache))
            return 0;
        job_free(s, j);
    }

    reply_time(&tv, defer_msec, jitter_msec);
    if ((j = find_scheduled(s, record, hash))) {
        /* Already pending: the earlier time wins, and one querier only if both agree. */
        if (avahi_timeval_compare(&tv, &j->delivery) < 0) {
            j->delivery = tv;
            avahi_time_event_update(j->time_event, &j->delivery);
        }
        if (flush_cache)
            j->flush_cache = 1;
        if (!querier || (j->querier_valid && avahi_address_cmp(querier, &j->querier) != 0))
            j->querier_valid = 0;
        job_set_record(j, record);
        return 1;
    }

    if (!(j = job_new(s, record, hash, SCHEDULED)))
        return 0;
    j->delivery = tv;
    j->flush_cache = flush_cache;
    if ((j->querier_valid = !!querier))
        j->querier = *querier;
    j->time_event = avahi_time_event_new(s->time_event_queue, &j->delivery, elapse_callback, j);
    return 1;
}

void avahi_response_scheduler_incoming(AvahiResponseScheduler *s, AvahiRecord *record,
                                       int flush_cache)
{
    unsigned hash = record_hash(record);
    Job *j;

    /* Another responder sent what we were about to send: ours counts as sent. */
    if ((j = find_scheduled(s, record, hash))) {
        if ((!j->flush_cache || flush_cache) && covers(record, j->record))
            job_mark_done(s, j);
        return;
    }
    if ((j = find_recent(s, DONE, record, hash, NULL)))
        job_set_record(j, record);
    else if (!(j = job_new(s, record, hash, DONE)))
        return;
    j->flush_cache = flush_cache;
    j->querier_valid = 0;
    job_expire_in(s, j, HISTORY_USEC);
}

void avahi_response_scheduler_suppress(AvahiResponseScheduler *s, AvahiRecord *record,
                                       const AvahiAddress *querier)
{
    unsigned hash = record_hash(record);
    Job *j;

    /* The querier already knows the answer it would get from us alone. */
    if ((j = find_scheduled(s, record, hash)) && j->querier_valid &&
        avahi_address_cmp(querier, &j->querier) == 0 && covers(record, j->record))
        job_free(s, j);

    if ((j = find_recent(s, SUPPRESSED, record, hash, querier)))
        job_set_record(j, record);
    else if (!(j = job_new(s, record, hash, SUPPRESSED)))
        return;
    else {
        j->querier_valid = 1;
        j->querier = *querier;
    }
    job_expire_in(s, j, SUPPRESS_USEC);
}

void avahi_response_scheduler_force(AvahiResponseScheduler *s)
{
    while (s->sets[SCHEDULED].head)
        send_reply(s, s->sets[SCHEDULED].head);
}
