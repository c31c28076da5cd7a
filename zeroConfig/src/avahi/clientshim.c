/* The daemon's client library is linked in statically (see the CMakeLists). Its objects
 * were built for executables: they reach the C library's `stderr` by a PC-relative
 * address, which a shared library cannot take. This hidden variable of the same name
 * stands in for it within the component, holding the C library's stream. */
#define _GNU_SOURCE
#include <dlfcn.h>

struct _IO_FILE;

__attribute__((visibility("hidden"))) struct _IO_FILE *stderr;

__attribute__((constructor)) static void takeLibcStderr(void)
{
    struct _IO_FILE **libc = (struct _IO_FILE **)dlsym(RTLD_NEXT, "stderr");
    if (libc)
        stderr = *libc;
}
