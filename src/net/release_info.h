// Fetching the release manifest into ReleaseInfo.
#pragma once

#include "app/run_state.h"

// Fetches MANIFEST_URL, checks it and fills `release`. Returns RESULT_OK, or
// RESULT_NO_RELEASE_INFO for any failure of the transfer (a cancelled one
// included) or of a check. `version` and `download_url` are written only on
// success; `sha256_hex` and `expected_size` may hold unchecked values after a
// failure and mean nothing then.
InstallResult fetch_release_info(ReleaseInfo *release);
