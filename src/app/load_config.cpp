// Data that two of the image's PE directories point at. GNU ld links both
// but fills neither directory entry; cmake/pe_directories.py sets them after
// linking, finding the symbols below in the linker map. The link keeps both
// with --require-defined: nothing in the code refers to them.
#include <windows.h>

#include <stddef.h>

extern "C" {

// The load configuration (directory 10). Its one setting is
// DependentLoadFlags: from Windows 10 1607 on, the loader resolves the
// image's own static imports from the system folder only, before any of
// the program's code runs. What those DLLs import in turn is searched for
// as usual. The classic x64 layout
// (0x70 bytes, through SEHandlerCount) covers it; everything else stays 0:
// no security cookie (the code has no stack protector), no control-flow
// guard tables. The directory entry gives the same size as the Size field.
// (The headers here call DependentLoadFlags by its older name Reserved1.)
extern __attribute__((used)) const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = {
    sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64), // Size
    0, 0, 0, 0, 0, 0,                      // TimeDateStamp .. CriticalSectionDefaultTimeout
    0, 0, 0, 0, 0, 0,                      // heap thresholds, lock prefixes, affinity
    0, 0,                                  // ProcessHeapFlags, CSDVersion
    LOAD_LIBRARY_SEARCH_SYSTEM32,          // DependentLoadFlags
    0, 0, 0, 0};                           // EditList, SecurityCookie, SEHandlerTable, SEHandlerCount
static_assert(sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64) == 0x70, "classic x64 load configuration");
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY64, Reserved1) == 0x4E, "DependentLoadFlags");

// The all-zero record that ends the delay-import table (directory 13).
// dlltool's delay-load libraries put one 32-byte descriptor per DLL in
// section .text$2 and no end record; the linker sorts .text$ sections by
// name, so .text$2z follows the last descriptor directly.
extern __attribute__((used, section(".text$2z"))) const unsigned char tarvik_delay_import_end[32] = {};

}
