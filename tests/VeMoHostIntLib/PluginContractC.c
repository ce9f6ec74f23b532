/* The plug-in contract must compile for plug-in authors who write C. */
#include "VeMoPlugin.h"

static int32_t WINAPI ExampleRun(VemoPluginStopFlag pStopFlag) {
    while (!*pStopFlag) Sleep(10);
    return 0;
}

PFN_VEMO_PLUGIN_RUN VemoPluginContractCompilesAsC(void) { return &ExampleRun; }
