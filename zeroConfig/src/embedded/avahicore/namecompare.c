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
/* avahi_domain_equal for our private libavahi-core, hidden in it (privatenames.h) so that
 * the core's own calls bind here and nothing outside the library sees it.
 *
 * The library's version unescapes and validates every label of both names on each call,
 * and the core calls it for every record when it answers a question of type ANY (every
 * probe asks one), and for every known record when a question comes in. Two names whose
 * texts agree but for case are equal; where they first differ, the labels differ too
 * unless an escape (a backslash and one character, or three digits) is involved: only
 * then is it worth unescaping. */

#ifdef HAVE_CONFIG_H
#include <config.h>
#endif

#include <string.h>
#include <strings.h>

#include <avahi-common/domain.h>

static int lower(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

/* The slow way, for names with escapes: label by label, as the core compares them. */
static int labels_equal(const char *a, const char *b)
{
    for (;;) {
        char la[AVAHI_LABEL_MAX], lb[AVAHI_LABEL_MAX];
        if (!avahi_unescape_label(&a, la, sizeof(la)) || !avahi_unescape_label(&b, lb, sizeof(lb)))
            return 0;
        if (strcasecmp(la, lb))
            return 0;
        if (!*a && !*b)
            return 1;
    }
}

int avahi_domain_equal(const char *a, const char *b)
{
    const char *p = a, *q = b, *escape_end = a;
    if (a == b)
        return 1;
    for (; *p && *q; p++, q++) {
        if (*p == '\\' && p >= escape_end)
            /* The same escape in both so far: a backslash and three digits, or one character. */
            escape_end = p + (p[1] >= '0' && p[1] <= '9' ? 4 : 2);
        /* Bytes past ASCII belong to UTF-8 labels, which strcasecmp leaves alone too. */
        if (lower((unsigned char)*p) != lower((unsigned char)*q)) {
            if (p < escape_end || *p == '\\' || *q == '\\')
                return labels_equal(a, b);
            return 0;
        }
    }
    if (p < escape_end || *p == '\\' || *q == '\\')
        return labels_equal(a, b);
    /* "a.b" and "a.b." name the same domain. */
    if (*p == '.' && !p[1] && !*q)
        return 1;
    if (*q == '.' && !q[1] && !*p)
        return 1;
    return !*p && !*q;
}
