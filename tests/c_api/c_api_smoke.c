/* Compiled as strict C11: the public header must stand on its own. */
#include "nivex.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    nivex_device dev;
    memset(&dev, 0, sizeof dev);
    if (strcmp(nivex_version(), NIVEX_VERSION_STR) != 0) {
        fprintf(stderr, "version mismatch: %s\n", nivex_version());
        return 1;
    }
    if (strcmp(nivex_error_name(NIVEX_ERR_CAP_STALL), "NIVEX_ERR_CAP_STALL") != 0) return 1;
    if (dev.handle != NULL || dev.api_busy != 0) return 1;
    return 0;
}
