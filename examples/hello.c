/* Starts the library, logs through it and prints its version. */
#include <stdio.h>

#include "nivex.h"

int main(void) {
    if (!nivex_init("hello.log")) {
        fprintf(stderr, "nivex_init failed\n");
        return 1;
    }
    nivex_log_cfg(NX_LOG_INF, NX_LOG_DBG, NX_LOG_ERR);
    printf("libnivex %s, data folder \"%s\"\n", nivex_version(), nivex_path_get());
    nivex_uninit();
    return 0;
}
