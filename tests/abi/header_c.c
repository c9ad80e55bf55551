/* The public header must compile as C, and its callback types must accept plain C functions. */
#include "orna.h"

#include <string.h>

static void on_graph(double t, double v) { (void)t; (void)v; }
static void on_freq(double f) { (void)f; }
static void on_func(int n) { (void)n; }

int orna_c_client_check(void) {
    const char16_t no_path[] = {0};
    RegisterTimeAmpCB(on_graph);
    RegisterPacingTimeAmpCB(on_graph);
    RegisterSyncFreqCB(on_freq);
    RegisterSyncMainFuncCB(on_func);
    RegisterTimeAmpCB(0);
    RegisterPacingTimeAmpCB(0);
    RegisterSyncFreqCB(0);
    RegisterSyncMainFuncCB(0);
    if (strcmp(GetSDKVersion(), ORNA_VERSION_TEXT) != 0) return 1;
    if (OutputFuncECGFile != 13) return 2;
    if (LoadECGtxt(no_path) != -1) return 3;
    if (g_RangeV4Ch2On != 4.0 || g_RangeV4Ch2Off != 5.0) return 4;
    {
        /* The extension API from C: the records, and the size-prefixed status. */
        OrnaLinkStatus status;
        OrnaPortInfo ports[1];
        memset(&status, 0, sizeof status);
        status.size = sizeof status;
        if (OrnaGetLinkStatus(&status) != 0 || status.open) return 5;
        if (OrnaListPorts(ports, 0) < -1 || OrnaListPorts(0, 0) < -1) return 6;
        if (OrnaResultText("SetAmplitude", 0) != 0) return 7;
        if (strcmp(OrnaLastErrorText(), "") != 0) return 8;
        OrnaRegisterLinkLostCB(0);
        if (ORNA_VERSION_MAJOR < 0 || ORNA_VERSION_MINOR < 0 || ORNA_VERSION_PATCH < 0) return 9;
    }
    return 0;
}
