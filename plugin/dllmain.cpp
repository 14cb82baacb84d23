// The DLL's entry hook only succeeds: real start-up happens when the host
// sends its messages (HM_ATTACH_CORE, ...).
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
