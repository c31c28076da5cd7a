/* avahi_server_prepare_matching_responses for our private libavahi-core, to take the
 * place of server.c's own (built in by the step that swaps single functions of server.c).
 *
 * Every probe asks a question of type ANY, the responder hears its own probes, and the
 * library answered each such question by walking every record we publish: with N
 * services, N^2 name comparisons. Here a question of type or class ANY looks up the keys
 * (type and class) that its name has, and each key's records through the server's own
 * table by key, as questions of one type always did.
 *
 * The keys of a name are learnt from the server's list of entries, which grows at its
 * head only: each call takes in the entries ahead of the head it saw last. An entry gone
 * leaves its key behind, which then finds nothing. The record of that head is held, so a
 * new entry at the same address cannot pass for it; not finding it means a new walk. */

#ifdef HAVE_CONFIG_H
#include <config.h>
#endif

#include <stddef.h>

#include <avahi-common/domain.h>
#include <avahi-common/malloc.h>

#include "announce.h"
#include "internal.h"
#include "rr-util.h"

typedef struct Name Name;
struct Name
{
    char *name;
    unsigned hash;
    AvahiKey **keys;
    unsigned n_keys, room;
    Name *chain;
};

typedef struct
{
    AvahiServer *server;
    AvahiEntry *head;    /* the list's head at the last call */
    AvahiRecord *record; /* its record, held */
    Name **buckets;
    unsigned size, count;
} Index;

static Index index_of_keys;

static void index_clear(Index *x)
{
    unsigned b, k;
    for (b = 0; b < x->size; b++) {
        Name *n = x->buckets[b], *next;
        for (; n; n = next) {
            next = n->chain;
            for (k = 0; k < n->n_keys; k++)
                avahi_key_unref(n->keys[k]);
            avahi_free(n->keys);
            avahi_free(n->name);
            avahi_free(n);
        }
    }
    avahi_free(x->buckets);
    if (x->record)
        avahi_record_unref(x->record);
    x->buckets = NULL;
    x->record = NULL;
    x->head = NULL;
    x->size = x->count = 0;
}

static void index_grow(Index *x)
{
    unsigned size = x->size ? x->size * 2 : 256, b;
    Name **buckets = avahi_new0(Name *, size);
    if (!buckets)
        return;
    for (b = 0; b < x->size; b++) {
        Name *n = x->buckets[b], *next;
        for (; n; n = next) {
            next = n->chain;
            n->chain = buckets[n->hash & (size - 1)];
            buckets[n->hash & (size - 1)] = n;
        }
    }
    avahi_free(x->buckets);
    x->buckets = buckets;
    x->size = size;
}

static Name *index_find(Index *x, const char *name, unsigned hash)
{
    Name *n;
    if (!x->size)
        return NULL;
    for (n = x->buckets[hash & (x->size - 1)]; n; n = n->chain)
        if (n->hash == hash && avahi_domain_equal(n->name, name))
            return n;
    return NULL;
}

/* Returns 0 when out of memory: the caller then walks, as the library did. */
static int index_add(Index *x, AvahiKey *key)
{
    unsigned hash = avahi_domain_hash(key->name), k;
    Name *n = index_find(x, key->name, hash);

    if (!n) {
        if (x->count >= x->size)
            index_grow(x);
        if (!x->size || !(n = avahi_new0(Name, 1)))
            return 0;
        if (!(n->name = avahi_strdup(key->name))) {
            avahi_free(n);
            return 0;
        }
        n->hash = hash;
        n->chain = x->buckets[hash & (x->size - 1)];
        x->buckets[hash & (x->size - 1)] = n;
        x->count++;
    }
    for (k = 0; k < n->n_keys; k++)
        if (n->keys[k]->type == key->type && n->keys[k]->clazz == key->clazz)
            return 1;
    if (n->n_keys == n->room) {
        unsigned room = n->room ? n->room * 2 : 4;
        AvahiKey **keys = avahi_realloc(n->keys, room * sizeof(*keys));
        if (!keys)
            return 0;
        n->keys = keys;
        n->room = room;
    }
    /* The key of this name alone, not the record's: what it holds stays valid. */
    if (!(n->keys[n->n_keys] = avahi_key_new(key->name, key->clazz, key->type)))
        return 0;
    n->n_keys++;
    return 1;
}

/* Takes in the entries added since the last call. */
static int index_update(Index *x, AvahiServer *s)
{
    AvahiEntry *e, *stop = NULL;

    if (x->server != s) {
        index_clear(x);
        x->server = s;
    }
    /* The head seen last, if it is still the same entry: its record is still ours. */
    for (e = s->entries; e; e = e->entries_next)
        if (e == x->head && e->record == x->record) {
            stop = e;
            break;
        }
    for (e = s->entries; e != stop; e = e->entries_next)
        if (!index_add(x, e->record->key)) {
            index_clear(x);
            return 0;
        }
    if (x->record)
        avahi_record_unref(x->record);
    x->head = s->entries;
    x->record = s->entries ? avahi_record_ref(s->entries->record) : NULL;
    return 1;
}

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
    if (!avahi_key_is_pattern(k))
        prepare_key(s, i, k, unicast_response);
    else if (index_update(&index_of_keys, s)) {
        Name *n = index_find(&index_of_keys, k->name, avahi_domain_hash(k->name));
        unsigned j;
        for (j = 0; n && j < n->n_keys; j++)
            if (avahi_key_pattern_match(k, n->keys[j]))
                prepare_key(s, i, n->keys[j], unicast_response);
    } else {
        AvahiEntry *e;
        for (e = s->entries; e; e = e->entries_next)
            if (!e->dead && avahi_key_pattern_match(k, e->record->key) &&
                avahi_entry_is_registered(s, e, i))
                avahi_server_prepare_response(s, i, e, unicast_response, 0);
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
