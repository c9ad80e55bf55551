/* The same checks in C, built with pkg-config. */
#include <orna.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    int ok = strcmp(GetSDKVersion(), ORNA_VERSION_TEXT) == 0 && SetAmplitude(1.0) == -1 &&
             SetSpecialWave251(2) == 0 && GetOutputFunc() == OutputFuncIEC251 && g_RangeV4Ch2Off == 5.0;
    printf("consumer (C): %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
