// Making sure that a delay-loaded system DLL is usable before a step
// relies on it.
#pragma once

// Loads the delay-loaded DLL `dll` (its name as linked: "WINHTTP.dll",
// "bcrypt.dll", "WINTRUST.dll" or "CRYPT32.dll") from the system folder and
// binds every function that the program imports from it. Returns true when
// all of them were found. On false nothing of that DLL may be called; a
// function that could not be bound fails every call (see startup.cpp).
// Call it from one thread at a time.
bool load_system_dll(const char *dll);
