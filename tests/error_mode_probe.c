/* A module for the interface tests: it notes the error mode the process
 * has while the module is being loaded, the mode ZmdLoadLibrary sets for
 * the load alone. */
#include "tembrix.h"

static uint32_t mode_at_load;

static void note_mode(void) {
    /* Setting the mode is the one way to read it; it is put back at once. */
    mode_at_load = ZfdSetErrorMode(0);
    ZfdSetErrorMode((uint16_t)mode_at_load);
}

#ifdef _WIN32
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) note_mode();
    return TRUE;
}

__declspec(dllexport) uint32_t ProbeModeAtLoad(void) { return mode_at_load; }
#else
__attribute__((constructor)) static void on_load(void) { note_mode(); }

__attribute__((visibility("default"))) uint32_t ProbeModeAtLoad(void) { return mode_at_load; }
#endif
