// `tarvik-manifest live`: the published release fetched back through the
// public site, address by address, and judged by the bootstrapper's rules.
#pragma once

#include <string>
#include <vector>

struct LiveOptions {
    std::vector<std::string> addresses; // empty: every address of the site host
    std::string cacert;                 // "" for the system's trusted roots
    std::string publisher;
    std::string bootstrapper;           // "" for none
    std::string expect;                 // a manifest every address must serve; "" for any
    std::string expect_setup;           // with `expect`: its setup program, or ""
    long wait_seconds = 0;              // repeat failing rounds this long
    bool json = false;                  // the findings as one JSON object
};

// Returns true when every address serves the same release and it passes
// (and is the expected one). With a wait, a failing round is reported by
// its first refusal on one line and repeated after a pause until one
// passes or the time is up; the last round's report is shown whole.
bool command_live(const LiveOptions &options);
