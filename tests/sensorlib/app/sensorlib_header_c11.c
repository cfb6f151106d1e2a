/* The sensor library's public header on its own, compiled as strict C11, in a
 * C program linked against the shared library. */
#include "nivex_sensorlib.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    char name[NIVEX_DRNU_NAME_SIZE];
    unsigned char list[2] = {0, 0};
    unsigned char *buf = list;
    configSetWaferID(12);
    configSetChipID(34);
    if (calibrationGetDistanceImagesName(name, 0) != 28 ||
        strcmp(name, "kpl_ex_images_drnu_W012_C034_10.bin") != 0) {
        fprintf(stderr, "name: %s\n", name);
        return 1;
    }
    if (i2c(32, 'd', 0, 2, &buf) != 0 || list[0] != 32 || list[1] != 255) return 1;
    if (configGetModulationFrequency() != 12000 || calibrateGetoffsetPhaseDefaultFPN() != 0)
        return 1;
    return 0;
}
