/* What our reply scheduler (replyscheduler.c) offers beyond the library's response-sched.h,
 * for our replacements of functions of server.c. */
#ifndef LANBEACON_AVAHICORE_REPLYSCHEDULER_H
#define LANBEACON_AVAHICORE_REPLYSCHEDULER_H

#include "response-sched.h"

/* As avahi_response_scheduler_post, the reply delayed by defer_msec plus a random part of
 * jitter_msec. */
int lanbeacon_reply_post_after(AvahiResponseScheduler *s, AvahiRecord *record, int flush_cache,
                               const AvahiAddress *querier, unsigned defer_msec,
                               unsigned jitter_msec);

/* Whether we multicast the record within the last quarter of its TTL. */
int lanbeacon_reply_multicast_recently(AvahiResponseScheduler *s, AvahiRecord *record);

#endif
