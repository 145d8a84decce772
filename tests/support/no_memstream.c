/* Preloaded into a program, makes every memory stream fail to open, as when
 * memory runs out at the start. */
#include <errno.h>
#include <stdio.h>

FILE* open_memstream(char** ptr, size_t* sizeloc) {
    (void)ptr;
    (void)sizeloc;
    errno = ENOMEM;
    return NULL;
}
