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
};

// Returns true when every address serves the same release and it passes.
bool command_live(const LiveOptions &options);
