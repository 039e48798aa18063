// Loads a DLL by its bare name, as a program without any DLL hardening
// would: the control case of the DLL-planting test.
//
//   plain_loader.exe NAME.dll     exit code 0 when a module was loaded
#include <windows.h>

int wmain(int argc, wchar_t **argv)
{
    return argc == 2 && LoadLibraryW(argv[1]) != nullptr ? 0 : 1;
}
