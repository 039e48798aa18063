// Where the process's DLLs come from once it runs: the DLL search
// restricted to the system folder where Windows can do it, and system DLLs
// loaded by their full path there.
#pragma once

#include <windows.h>

// Restricts every later DLL search of the process, also those that system
// DLLs make for themselves, to the system folder. SetDefaultDllDirectories
// exists from Windows 8 on and on Windows 7 with its 2011 update, so it is
// looked up; where it is missing, or refuses, the search stays as Windows
// has it. Call it once, before any DLL is loaded by name and before a
// second thread runs.
void restrict_dll_search();

// Loads the system DLL `dll` (an ASCII file name) by its full path in the
// system folder. Where the search could not be restricted, the DLL's own
// load-time imports are then looked for in the system folder first too,
// not beside the executable. Returns null when the DLL cannot be loaded or
// the path does not fit; nothing is then loaded by name.
HMODULE load_system_folder_dll(const char *dll);
