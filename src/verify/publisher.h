// Publisher check: a signed bootstrapper runs only setup programs signed
// under the same publisher display name.
#pragma once

#include "app/run_state.h"

// Reads the simple display name of the signer of `path` into `name`
// (`capacity` units). Returns 1 when the file's Authenticode signature is
// trusted and the name is not empty, fits with room to spare and holds no
// NUL before its end, 0 otherwise, and -1 when the functions that check
// signatures cannot be loaded. The verification state is always closed
// again before returning.
int get_signer_name(const wchar_t *path, wchar_t *name, unsigned capacity);

// Decides whether the downloaded setup program at `path` comes from the same
// publisher as the running bootstrapper. An unsigned (or untrusted)
// bootstrapper compares nothing and returns RESULT_OK; a signed one returns
// RESULT_OK only for a download whose trusted signer has the same whole
// name, and RESULT_PUBLISHER_MISMATCH otherwise. The file is left in place.
InstallResult check_publisher(const wchar_t *path);
