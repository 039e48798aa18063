// Build-time constants of the program. There is no run-time configuration:
// the site host and the support address are fixed when the program is built
// (CMake cache variables TARVIK_SITE_HOST and TARVIK_SUPPORT_EMAIL, which
// arrive here as the narrow string literals TARVIK_SITE_HOST_TEXT and
// TARVIK_SUPPORT_EMAIL_TEXT).
#pragma once

#if !defined(TARVIK_SITE_HOST_TEXT) || !defined(TARVIK_SUPPORT_EMAIL_TEXT)
#error "TARVIK_SITE_HOST_TEXT and TARVIK_SUPPORT_EMAIL_TEXT must be defined by the build"
#endif

#define TARVIK_WIDEN_(text) L##text
#define TARVIK_WIDEN(text) TARVIK_WIDEN_(text)

// Host (and optional port) of the product web site, as shown to the user.
#define SITE_HOST TARVIK_WIDEN(TARVIK_SITE_HOST_TEXT)
#define SUPPORT_EMAIL TARVIK_WIDEN(TARVIK_SUPPORT_EMAIL_TEXT)

// Where the release manifest is published.
#define MANIFEST_URL L"https://" SITE_HOST L"/windows-setup.json"

// Every download URL must begin with this. It is compared with the 8-bit
// manifest text byte for byte, so it is a narrow string.
#define DOWNLOAD_URL_PREFIX "https://" TARVIK_SITE_HOST_TEXT "/downloads/"
