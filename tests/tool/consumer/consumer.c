/* A program built against an installed libnivex: its header and its library
 * must tell the same version. */
#include <stdio.h>
#include <string.h>

#include "nivex.h"

int main(void) {
    printf("consumer of libnivex %s\n", nivex_version());
    return strcmp(nivex_version(), NIVEX_VERSION_STR) == 0 ? 0 : 1;
}
