/* Forced into every source of our private libavahi-core (-include): functions of
 * libavahi-common that the private core brings its own versions of. Hidden, the core's
 * calls bind to them when it is linked, whichever libavahi-common the process loaded. */
#ifndef LANBEACON_AVAHICORE_PRIVATENAMES_H
#define LANBEACON_AVAHICORE_PRIVATENAMES_H
__attribute__((visibility("hidden"))) int avahi_domain_equal(const char *a, const char *b);
#endif
