// The board-level library of the simulated board. Applications load it next
// to MIL.DLL to check that the board's driver is installed; all board access
// goes through MIL.DLL, so it exports nothing.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
