// Opening the installed application after a successful install.
#pragma once

// The product's uninstall entry, under HKEY_CURRENT_USER or
// HKEY_LOCAL_MACHINE; its setup program records "InstallLocation" there.
#define UNINSTALL_KEY                                                                             \
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"                                  \
    L"{3F6A2C91-5B7E-4D08-A1C4-9E2B7D50F386}_is1"

// Finds the install folder (the uninstall entry's "InstallLocation", per
// user before per machine, else "%LOCALAPPDATA%\Programs\Tarvik\") and asks
// the shell to open Tarvik.exe in it. Reports nothing; opens nothing when no
// folder can be found.
void launch_installed_app();
