/* The public header as a C program sees it: it compiles as C, and a few
 * calls link and behave. */
#include <zas.h>

#include <string.h>

int zasHeaderCompilesAsC(void);

int zasHeaderCompilesAsC(void) {
    zas_archive *archive = NULL;
    zas_stat stat;
    zas_event event;
    memset(&stat, 0, sizeof stat);
    memset(&event, 0, sizeof event);
    if (zas_open(NULL, 0, &archive) != ZAS_E_INVALID || archive != NULL)
        return ZAS_E_INTERNAL;
    if (strcmp(zas_strerror(ZAS_OK), "No error") != 0)
        return ZAS_E_INTERNAL;
    return zas_close(archive);
}
