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
