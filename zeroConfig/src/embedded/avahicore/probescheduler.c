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
/* The core's probe scheduler (the functions of probe-sched.h), built into our private
 * libavahi-core in place of the library's own.
 *
 * It probes as the library does (RFC 6762 section 8.1: one question of type ANY per name,
 * the records we want for it in the authority section, probes of one moment packed
 * together, a probe not repeated within 150 ms), but finds jobs through hash tables: by
 * record when one is posted, by name when a packet is filled. The library walked every
 * pending job for both, so that probing N services cost N^2 name comparisons. */

#ifdef HAVE_CONFIG_H
#include <config.h>
#endif

#include <stddef.h>
#include <stdlib.h>
#include <sys/time.h>

#include <avahi-common/domain.h>
#include <avahi-common/malloc.h>
#include <avahi-common/timeval.h>

#include "log.h"
#include "probe-sched.h"
#include "recordhash.h"
#include "rr-util.h"

/* How long a sent probe keeps the same one from going out again, and the delay of one
 * that is not sent at once (which lets the probes of one publication share packets). */
#define HISTORY_MSEC 150
#define DEFER_MSEC 50

typedef struct Job Job;
struct Job
{
    AvahiProbeScheduler *scheduler;
    AvahiTimeEvent *time_event;
    int chosen; /* goes into the packet being filled */
    int done;   /* sent: kept for HISTORY_MSEC, then dropped */
    struct timeval delivery;
    AvahiRecord *record;
    unsigned record_hash, name_hash;
    Job *prev, *next;  /* the pending or the sent jobs, newest first */
    Job *record_chain; /* the record table's bucket */
    Job *name_chain;   /* the name table's bucket (pending jobs only) */
};

/* Buckets of jobs, chained through the member at offset link. */
typedef struct
{
    Job **buckets;
    unsigned size, count;
    size_t link;
} Table;

struct AvahiProbeScheduler
{
    AvahiInterface *interface;
    AvahiTimeEventQueue *time_event_queue;
    Job *jobs, *history;
    Table by_record; /* pending and sent jobs */
    Table by_name;   /* pending jobs */
};

static Job **chain(const Table *t, Job *j)
{
    return (Job **)((char *)j + t->link);
}

static unsigned hash_of(const Table *t, const Job *j)
{
    return t->link == offsetof(Job, record_chain) ? j->record_hash : j->name_hash;
}

static int table_init(Table *t, size_t link)
{
    t->size = 64;
    t->link = link;
    return !!(t->buckets = avahi_new0(Job *, t->size));
}

static void table_grow(Table *t)
{
    unsigned size = t->size * 2, i;
    Job **buckets = avahi_new0(Job *, size);
    if (!buckets)
        return; /* the chains only get longer */
    /* Each job goes to the end of its new bucket: a name's jobs keep their order. */
    for (i = 0; i < t->size; i++) {
        Job *j = t->buckets[i], *next;
        for (; j; j = next) {
            Job **b = &buckets[hash_of(t, j) & (size - 1)];
            next = *chain(t, j);
            while (*b)
                b = chain(t, *b);
            *b = j;
            *chain(t, j) = NULL;
        }
    }
    avahi_free(t->buckets);
    t->buckets = buckets;
    t->size = size;
}

/* New jobs go in front, so a bucket holds the jobs of a name newest first, in the order
 * of the pending list: the packet is filled in the order the library filled it. */
static void table_add(Table *t, Job *j)
{
    Job **b;
    if (++t->count > t->size)
        table_grow(t);
    b = &t->buckets[hash_of(t, j) & (t->size - 1)];
    *chain(t, j) = *b;
    *b = j;
}

static void table_remove(Table *t, Job *j)
{
    Job **b = &t->buckets[hash_of(t, j) & (t->size - 1)];
    t->count--;
    while (*b && *b != j)
        b = chain(t, *b);
    if (*b)
        *b = *chain(t, j);
}

static void list_add(Job **head, Job *j)
{
    j->prev = NULL;
    j->next = *head;
    if (*head)
        (*head)->prev = j;
    *head = j;
}

static void list_remove(Job **head, Job *j)
{
    if (j->prev)
        j->prev->next = j->next;
    else
        *head = j->next;
    if (j->next)
        j->next->prev = j->prev;
}

static unsigned name_hash(const AvahiKey *k)
{
    return avahi_domain_hash(k->name) * 31 + k->clazz;
}

static int same_name(const AvahiKey *a, const AvahiKey *b)
{
    return a->clazz == b->clazz && avahi_domain_equal(a->name, b->name);
}

static void elapse_callback(AvahiTimeEvent *e, void *data);

static Job *job_new(AvahiProbeScheduler *s, AvahiRecord *record, unsigned hash)
{
    Job *j = avahi_new0(Job, 1);
    if (!j) {
        avahi_log_error(__FILE__ ": Out of memory");
        return NULL;
    }
    j->scheduler = s;
    j->record = avahi_record_ref(record);
    j->record_hash = hash;
    j->name_hash = name_hash(record->key);
    list_add(&s->jobs, j);
    table_add(&s->by_record, j);
    table_add(&s->by_name, j);
    return j;
}

static void job_free(AvahiProbeScheduler *s, Job *j)
{
    if (j->time_event)
        avahi_time_event_free(j->time_event);
    table_remove(&s->by_record, j);
    if (j->done)
        list_remove(&s->history, j);
    else {
        list_remove(&s->jobs, j);
        table_remove(&s->by_name, j);
    }
    avahi_record_unref(j->record);
    avahi_free(j);
}

static void job_mark_done(AvahiProbeScheduler *s, Job *j)
{
    struct timeval tv;
    list_remove(&s->jobs, j);
    table_remove(&s->by_name, j);
    list_add(&s->history, j);
    j->done = 1;
    j->chosen = 0;
    avahi_elapse_time(&tv, HISTORY_MSEC, 0);
    if (j->time_event)
        avahi_time_event_update(j->time_event, &tv);
    else
        j->time_event = avahi_time_event_new(s->time_event_queue, &tv, elapse_callback, j);
    gettimeofday(&j->delivery, NULL);
}

static Job *find_job(AvahiProbeScheduler *s, AvahiRecord *record, unsigned hash, int done)
{
    Job *j = s->by_record.buckets[hash & (s->by_record.size - 1)];
    for (; j; j = j->record_chain)
        if (j->done == done && j->record_hash == hash &&
            avahi_record_equal_no_ttl(j->record, record))
            return j;
    return NULL;
}

AvahiProbeScheduler *avahi_probe_scheduler_new(AvahiInterface *i)
{
    AvahiProbeScheduler *s = avahi_new0(AvahiProbeScheduler, 1);
    if (!s) {
        avahi_log_error(__FILE__ ": Out of memory");
        return NULL;
    }
    s->interface = i;
    s->time_event_queue = i->monitor->server->time_event_queue;
    if (!table_init(&s->by_record, offsetof(Job, record_chain)) ||
        !table_init(&s->by_name, offsetof(Job, name_chain))) {
        avahi_log_error(__FILE__ ": Out of memory");
        avahi_probe_scheduler_free(s);
        return NULL;
    }
    return s;
}

void avahi_probe_scheduler_free(AvahiProbeScheduler *s)
{
    avahi_probe_scheduler_clear(s);
    avahi_free(s->by_record.buckets);
    avahi_free(s->by_name.buckets);
    avahi_free(s);
}

void avahi_probe_scheduler_clear(AvahiProbeScheduler *s)
{
    while (s->jobs)
        job_free(s, s->jobs);
    while (s->history)
        job_free(s, s->history);
}

/* The space a record takes in the authority section, reserved while the questions are
 * written: the questions go first in the packet. */
static int reserve(AvahiDnsPacket *p, Job *j)
{
    size_t size = avahi_record_get_estimate_size(j->record);
    if (size > avahi_dns_packet_reserved_space(p))
        return 0;
    avahi_dns_packet_reserve_size(p, size);
    j->chosen = 1;
    return 1;
}

/* One question for the name of j, and the records of every pending job of that name that
 * still fit. */
static int add_probe(AvahiProbeScheduler *s, AvahiDnsPacket *p, Job *j)
{
    AvahiKey *k;
    Job *other;

    if (avahi_key_get_estimate_size(j->record->key) + avahi_record_get_estimate_size(j->record) >
        avahi_dns_packet_reserved_space(p))
        return 0;
    if (!(k = avahi_key_new(j->record->key->name, j->record->key->clazz, AVAHI_DNS_TYPE_ANY)))
        return 0;
    if (!avahi_dns_packet_append_key(p, k, 0)) {
        avahi_key_unref(k);
        return 0;
    }
    avahi_key_unref(k);
    reserve(p, j);

    other = s->by_name.buckets[j->name_hash & (s->by_name.size - 1)];
    for (; other; other = other->name_chain) {
        if (other->chosen || other->name_hash != j->name_hash ||
            !same_name(other->record->key, j->record->key))
            continue;
        if (!reserve(p, other))
            break;
    }
    return 1;
}

/* A probe too large for a packet of the interface's MTU goes alone in a larger one. */
static void send_alone(AvahiProbeScheduler *s, Job *j)
{
    size_t size = avahi_key_get_estimate_size(j->record->key) +
                  avahi_record_get_estimate_size(j->record) + AVAHI_DNS_PACKET_HEADER_SIZE;
    AvahiDnsPacket *p = avahi_dns_packet_new_query(size + AVAHI_DNS_PACKET_EXTRA_SIZE);
    AvahiKey *k;
    int ok;

    if (!p)
        return;
    if (!(k = avahi_key_new(j->record->key->name, j->record->key->clazz, AVAHI_DNS_TYPE_ANY))) {
        avahi_dns_packet_free(p);
        return;
    }
    ok = avahi_dns_packet_append_key(p, k, 0) && avahi_dns_packet_append_record(p, j->record, 0, 0);
    avahi_key_unref(k);
    if (ok) {
        avahi_dns_packet_set_field(p, AVAHI_DNS_FIELD_NSCOUNT, 1);
        avahi_dns_packet_set_field(p, AVAHI_DNS_FIELD_QDCOUNT, 1);
        avahi_interface_send_packet(s->interface, p);
    } else
        avahi_log_warn("Probe record too large, cannot send");
    avahi_dns_packet_free(p);
    job_mark_done(s, j);
}

static void elapse_callback(AvahiTimeEvent *e, void *data)
{
    Job *j = data, *next;
    AvahiProbeScheduler *s = j->scheduler;
    AvahiDnsPacket *p;
    unsigned n = 1;

    (void)e;
    if (j->done) {
        job_free(s, j);
        return;
    }
    if (!(p = avahi_dns_packet_new_query(s->interface->hardware->mtu)))
        return;
    if (!add_probe(s, p, j)) {
        avahi_dns_packet_free(p);
        send_alone(s, j);
        return;
    }

    /* The other pending probes, newest first, while they fit: all of them are due within
     * DEFER_MSEC, and one packet for all makes their names' tie-breaks see them together. */
    for (next = s->jobs; next; next = next->next) {
        if (next->chosen)
            continue;
        if (!add_probe(s, p, next))
            break;
        n++;
    }
    avahi_dns_packet_set_field(p, AVAHI_DNS_FIELD_QDCOUNT, n);

    n = 0;
    for (j = s->jobs; j; j = next) {
        next = j->next;
        if (!j->chosen)
            continue;
        if (!avahi_dns_packet_append_record(p, j->record, 0, 0)) {
            /* The estimate was short: the rest wait for the next packet. */
            for (; j; j = j->next)
                j->chosen = 0;
            break;
        }
        job_mark_done(s, j);
        n++;
    }
    avahi_dns_packet_set_field(p, AVAHI_DNS_FIELD_NSCOUNT, n);
    avahi_interface_send_packet(s->interface, p);
    avahi_dns_packet_free(p);
}

int avahi_probe_scheduler_post(AvahiProbeScheduler *s, AvahiRecord *record, int immediately)
{
    unsigned hash = lanbeacon_record_hash(record);
    struct timeval tv;
    Job *j;

    if ((j = find_job(s, record, hash, 1))) {
        if (avahi_age(&j->delivery) <= HISTORY_MSEC * 1000)
            return 0;
        job_free(s, j);
    }

    avahi_elapse_time(&tv, immediately ? 0 : DEFER_MSEC, 0);
    if ((j = find_job(s, record, hash, 0))) {
        /* Posted again: the earlier of the two times holds. */
        if (avahi_timeval_compare(&tv, &j->delivery) < 0) {
            j->delivery = tv;
            avahi_time_event_update(j->time_event, &j->delivery);
        }
        return 1;
    }
    if (!(j = job_new(s, record, hash)))
        return 0;
    j->delivery = tv;
    j->time_event = avahi_time_event_new(s->time_event_queue, &j->delivery, elapse_callback, j);
    return 1;
}
