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
/* The core's cache of the records heard on an interface (the functions of cache.h), built
 * into our private libavahi-core in place of the library's own.
 *
 * It keeps what the library keeps (RFC 6762: refresh queries at 80, 85, 90 and 95 % of the
 * TTL, a record gone one second after its goodbye or after a cache-flush answer replaced
 * it, passive observation of failure) and the structures of cache.h that the rest of the
 * core reads. What differs is how an entry is found: through a hash table over the record,
 * and one over the name for questions of type ANY. The library compared the record with
 * every entry of its key, and a question of type ANY with every entry of the cache; the
 * responder hears its own answers, so with N services of one type each of them went
 * through N cached PTR records. */

#ifdef HAVE_CONFIG_H
#include <config.h>
#endif

#include <stddef.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

#include <avahi-common/domain.h>
#include <avahi-common/malloc.h>
#include <avahi-common/timeval.h>

#include "cache.h"
#include "log.h"
#include "recordhash.h"
#include "rr-util.h"

/* The header's entry and cache, with our links behind them: only this file allocates
 * either, and the rest of the core sees the header's part alone. */
typedef struct Entry Entry;
struct Entry
{
    AvahiCacheEntry e;
    unsigned record_hash, name_hash;
    Entry *record_chain, *name_chain;
};

typedef struct
{
    Entry **buckets;
    unsigned size, count;
    size_t link;
} Table;

typedef struct
{
    AvahiCache c;
    Table by_record, by_name;
} Cache;

static Cache *of(AvahiCache *c)
{
    return (Cache *)c;
}

static Entry *entry_of(AvahiCacheEntry *e)
{
    return (Entry *)e;
}

static Entry **chain(const Table *t, Entry *e)
{
    return (Entry **)((char *)e + t->link);
}

static unsigned hash_of(const Table *t, const Entry *e)
{
    return t->link == offsetof(Entry, record_chain) ? e->record_hash : e->name_hash;
}

static int table_init(Table *t, size_t link)
{
    t->size = 64;
    t->link = link;
    return !!(t->buckets = avahi_new0(Entry *, t->size));
}

static void table_grow(Table *t)
{
    unsigned size = t->size * 2, i;
    Entry **buckets = avahi_new0(Entry *, size);
    if (!buckets)
        return; /* the chains only get longer */
    for (i = 0; i < t->size; i++) {
        Entry *e = t->buckets[i], *next;
        for (; e; e = next) {
            Entry **b = &buckets[hash_of(t, e) & (size - 1)];
            next = *chain(t, e);
            *chain(t, e) = *b;
            *b = e;
        }
    }
    avahi_free(t->buckets);
    t->buckets = buckets;
    t->size = size;
}

static void table_add(Table *t, Entry *e)
{
    Entry **b;
    if (++t->count > t->size)
        table_grow(t);
    b = &t->buckets[hash_of(t, e) & (t->size - 1)];
    *chain(t, e) = *b;
    *b = e;
}

static void table_remove(Table *t, Entry *e)
{
    Entry **b = &t->buckets[hash_of(t, e) & (t->size - 1)];
    t->count--;
    while (*b && *b != e)
        b = chain(t, *b);
    if (*b)
        *b = *chain(t, e);
}

/* Class ANY questions find their entries by name too: the class stays out of the hash. */
static unsigned name_hash(const AvahiKey *k)
{
    return avahi_domain_hash(k->name);
}

static void remove_entry(AvahiCache *c, AvahiCacheEntry *e)
{
    AvahiCacheEntry *first = avahi_hashmap_lookup(c->hashmap, e->record->key);

    AVAHI_LLIST_REMOVE(AvahiCacheEntry, by_key, first, e);
    if (first)
        avahi_hashmap_replace(c->hashmap, first->record->key, first);
    else
        avahi_hashmap_remove(c->hashmap, e->record->key);
    AVAHI_LLIST_REMOVE(AvahiCacheEntry, entry, c->entries, e);
    table_remove(&of(c)->by_record, entry_of(e));
    table_remove(&of(c)->by_name, entry_of(e));

    if (e->time_event)
        avahi_time_event_free(e->time_event);
    avahi_multicast_lookup_engine_notify(c->server->multicast_lookup_engine, c->interface,
                                         e->record, AVAHI_BROWSER_REMOVE);
    avahi_record_unref(e->record);
    avahi_free(e);
    c->n_entries--;
}

AvahiCache *avahi_cache_new(AvahiServer *server, AvahiInterface *iface)
{
    Cache *cache = avahi_new0(Cache, 1);
    AvahiCache *c;

    if (!cache) {
        avahi_log_error(__FILE__ ": Out of memory.");
        return NULL;
    }
    c = &cache->c;
    c->server = server;
    c->interface = iface;
    if (!(c->hashmap = avahi_hashmap_new((AvahiHashFunc)avahi_key_hash,
                                         (AvahiEqualFunc)avahi_key_equal, NULL, NULL)) ||
        !table_init(&cache->by_record, offsetof(Entry, record_chain)) ||
        !table_init(&cache->by_name, offsetof(Entry, name_chain))) {
        avahi_log_error(__FILE__ ": Out of memory.");
        if (c->hashmap)
            avahi_hashmap_free(c->hashmap);
        avahi_free(cache->by_record.buckets);
        avahi_free(cache);
        return NULL;
    }
    AVAHI_LLIST_HEAD_INIT(AvahiCacheEntry, c->entries);
    return c;
}

void avahi_cache_free(AvahiCache *c)
{
    avahi_cache_flush(c);
    avahi_hashmap_free(c->hashmap);
    avahi_free(of(c)->by_record.buckets);
    avahi_free(of(c)->by_name.buckets);
    avahi_free(of(c));
}

void avahi_cache_flush(AvahiCache *c)
{
    while (c->entries)
        remove_entry(c, c->entries);
}

void *avahi_cache_walk(AvahiCache *c, AvahiKey *pattern, AvahiCacheWalkCallback cb, void *userdata)
{
    void *ret;

    /* The callback may remove the entry it is given: the next one is taken first. */
    if (avahi_key_is_pattern(pattern)) {
        /* A pattern has a name (only its type or class is ANY): the name's entries. */
        Table *t = &of(c)->by_name;
        unsigned hash = name_hash(pattern);
        Entry *e = t->buckets[hash & (t->size - 1)], *next;
        for (; e; e = next) {
            next = e->name_chain;
            if (e->name_hash == hash && avahi_key_pattern_match(pattern, e->e.record->key) &&
                (ret = cb(c, pattern, &e->e, userdata)))
                return ret;
        }
    } else {
        AvahiCacheEntry *e = avahi_hashmap_lookup(c->hashmap, pattern), *next;
        for (; e; e = next) {
            next = e->by_key_next;
            if ((ret = cb(c, pattern, e, userdata)))
                return ret;
        }
    }
    return NULL;
}

static AvahiCacheEntry *lookup_record(AvahiCache *c, AvahiRecord *r, unsigned hash)
{
    Table *t = &of(c)->by_record;
    Entry *e = t->buckets[hash & (t->size - 1)];
    for (; e; e = e->record_chain)
        if (e->record_hash == hash && avahi_record_equal_no_ttl(e->e.record, r))
            return &e->e;
    return NULL;
}

static void next_expiry(AvahiCache *c, AvahiCacheEntry *e, unsigned percent);

static void elapse_func(AvahiTimeEvent *t, void *userdata)
{
    AvahiCacheEntry *e = userdata;
    unsigned percent = 0;

    (void)t;
    switch (e->state) {
    case AVAHI_CACHE_EXPIRY_FINAL:
    case AVAHI_CACHE_POOF_FINAL:
    case AVAHI_CACHE_GOODBYE_FINAL:
    case AVAHI_CACHE_REPLACE_FINAL:
        remove_entry(e->cache, e);
        return;
    case AVAHI_CACHE_VALID:
    case AVAHI_CACHE_POOF:
        e->state = AVAHI_CACHE_EXPIRY1;
        percent = 85;
        break;
    case AVAHI_CACHE_EXPIRY1:
        e->state = AVAHI_CACHE_EXPIRY2;
        percent = 90;
        break;
    case AVAHI_CACHE_EXPIRY2:
        e->state = AVAHI_CACHE_EXPIRY3;
        percent = 95;
        break;
    case AVAHI_CACHE_EXPIRY3:
        e->state = AVAHI_CACHE_EXPIRY_FINAL;
        percent = 100;
        break;
    }

    /* Asked again only while someone browses for it. */
    if (avahi_querier_shall_refresh_cache(e->cache->interface, e->record->key))
        avahi_interface_post_query(e->cache->interface, e->record->key, 0, NULL);
    next_expiry(e->cache, e, percent);
}

static void set_time_event(AvahiCache *c, AvahiCacheEntry *e)
{
    if (e->time_event)
        avahi_time_event_update(e->time_event, &e->expiry);
    else
        e->time_event =
            avahi_time_event_new(c->server->time_event_queue, &e->expiry, elapse_func, e);
}

/* percent of the TTL after the record was heard, plus up to 2 % of it. Like the library,
 * one random draw serves for 10 s. */
static void next_expiry(AvahiCache *c, AvahiCacheEntry *e, unsigned percent)
{
    AvahiUsec ttl = (AvahiUsec)e->record->ttl * 10000, left = ttl * percent,
              right = ttl * (percent + 2);
    time_t now = time(NULL);

    if (now >= c->last_rand_timestamp + 10) {
        c->last_rand = rand();
        c->last_rand_timestamp = now;
    }
    e->expiry = e->timestamp;
    avahi_timeval_add(&e->expiry,
                      left + (AvahiUsec)((double)(right - left) * c->last_rand / (RAND_MAX + 1.0)));
    set_time_event(c, e);
}

static void expire_in_one_second(AvahiCache *c, AvahiCacheEntry *e, AvahiCacheEntryState state)
{
    e->state = state;
    gettimeofday(&e->expiry, NULL);
    avahi_timeval_add(&e->expiry, 1000000);
    set_time_event(c, e);
}

static AvahiCacheEntry *add_entry(AvahiCache *c, AvahiRecord *r, unsigned hash)
{
    Entry *entry;
    AvahiCacheEntry *e, *first;

    if (c->n_entries >= c->server->config.n_cache_entries_max)
        return NULL;
    if (!(entry = avahi_new0(Entry, 1))) {
        avahi_log_error(__FILE__ ": Out of memory");
        return NULL;
    }
    e = &entry->e;
    e->cache = c;
    e->record = avahi_record_ref(r);
    entry->record_hash = hash;
    entry->name_hash = name_hash(r->key);

    first = avahi_hashmap_lookup(c->hashmap, r->key);
    AVAHI_LLIST_PREPEND(AvahiCacheEntry, by_key, first, e);
    avahi_hashmap_replace(c->hashmap, e->record->key, first);
    AVAHI_LLIST_PREPEND(AvahiCacheEntry, entry, c->entries, e);
    table_add(&of(c)->by_record, entry);
    table_add(&of(c)->by_name, entry);
    c->n_entries++;

    avahi_multicast_lookup_engine_notify(c->server->multicast_lookup_engine, c->interface,
                                         e->record, AVAHI_BROWSER_NEW);
    return e;
}

void avahi_cache_update(AvahiCache *c, AvahiRecord *r, int cache_flush, const AvahiAddress *a)
{
    unsigned hash = lanbeacon_record_hash(r);
    AvahiCacheEntry *e;
    struct timeval now;

    if (r->ttl == 0) {
        /* A goodbye. */
        if ((e = lookup_record(c, r, hash)))
            expire_in_one_second(c, e, AVAHI_CACHE_GOODBYE_FINAL);
        return;
    }

    gettimeofday(&now, NULL);
    if (cache_flush) {
        /* A unique record: what else its key held more than a second ago is replaced
         * (RFC 6762 section 10.2), what came within the second belongs to the same set. */
        for (e = avahi_hashmap_lookup(c->hashmap, r->key); e; e = e->by_key_next)
            if (avahi_timeval_diff(&now, &e->timestamp) > 1000000)
                expire_in_one_second(c, e, AVAHI_CACHE_REPLACE_FINAL);
    }

    if ((e = lookup_record(c, r, hash))) {
        /* The hashmap's key is the first entry's record's: it must live as long as that. */
        if (!e->by_key_prev)
            avahi_hashmap_replace(c->hashmap, r->key, e);
        avahi_record_unref(e->record);
        e->record = avahi_record_ref(r);
    } else if (!(e = add_entry(c, r, hash)))
        return;

    e->origin = *a;
    e->timestamp = now;
    next_expiry(c, e, 80);
    e->state = AVAHI_CACHE_VALID;
    e->cache_flush = cache_flush;
}

int avahi_cache_dump(AvahiCache *c, AvahiDumpCallback callback, void *userdata)
{
    AvahiCacheEntry *e;

    callback(";;; CACHE DUMP FOLLOWS ;;;", userdata);
    for (e = c->entries; e; e = e->entry_next) {
        char *t = avahi_record_to_string(e->record);
        if (!t)
            continue;
        callback(t, userdata);
        avahi_free(t);
    }
    return 0;
}

int avahi_cache_entry_half_ttl(AvahiCache *c, AvahiCacheEntry *e)
{
    struct timeval now;

    (void)c;
    gettimeofday(&now, NULL);
    return (unsigned)(avahi_timeval_diff(&now, &e->timestamp) / 1000000) >= e->record->ttl / 2;
}

/* Passive observation of failure (RFC 6762 section 10.5): a question for records we hold,
 * asked again and again with no answer, means they are gone. */

static void *start_poof_callback(AvahiCache *c, AvahiKey *pattern, AvahiCacheEntry *e,
                                 void *userdata)
{
    const AvahiAddress *a = userdata;
    struct timeval now;

    (void)pattern;
    gettimeofday(&now, NULL);
    if (e->state == AVAHI_CACHE_VALID) {
        e->state = AVAHI_CACHE_POOF;
        e->poof_address = *a;
        e->poof_timestamp = now;
        e->poof_num = 0;
    } else if (e->state == AVAHI_CACHE_POOF &&
               avahi_timeval_diff(&now, &e->poof_timestamp) >= 1000000) {
        /* Once a second at most; the fourth time without an answer ends it. */
        e->poof_timestamp = now;
        e->poof_address = *a;
        if (++e->poof_num > 3)
            expire_in_one_second(c, e, AVAHI_CACHE_POOF_FINAL);
    }
    return NULL;
}

void avahi_cache_start_poof(AvahiCache *c, AvahiKey *key, const AvahiAddress *a)
{
    avahi_cache_walk(c, key, start_poof_callback, (void *)a);
}

/* A known answer in the question: the asker holds it, so it is not gone, if the same
 * asker raised the doubt. */
void avahi_cache_stop_poof(AvahiCache *c, AvahiRecord *record, const AvahiAddress *a)
{
    AvahiCacheEntry *e = lookup_record(c, record, lanbeacon_record_hash(record));

    if (e && (e->state == AVAHI_CACHE_POOF || e->state == AVAHI_CACHE_POOF_FINAL) &&
        avahi_address_cmp(a, &e->poof_address) == 0) {
        e->state = AVAHI_CACHE_VALID;
        next_expiry(c, e, 80);
    }
}
