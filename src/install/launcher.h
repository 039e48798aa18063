// Opening the installed application after a successful install.
#pragma once

// Finds the install folder (the uninstall entry's "InstallLocation", per
// user before per machine, else "%LOCALAPPDATA%\Programs\Tarvik\") and asks
// the shell to open Tarvik.exe in it. Reports nothing; opens nothing when no
// folder can be found.
void launch_installed_app();
