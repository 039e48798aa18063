// Writing the manifest file, and the quoting of values that it shares with
// the tool's messages.
#pragma once

#include <string>

enum Quoting {
    QUOTE_JSON,    // a JSON string literal: control bytes as \u00XX, nothing cut
    QUOTE_MESSAGE, // one message line: control and non-ASCII bytes as \xXX, cut after 80 bytes
};

// `value` in double quotes, with quotes and backslashes escaped and the
// bytes that `quoting` names escaped or cut.
std::string quoted(const std::string &value, Quoting quoting);

// `bytes` with printable ASCII as it is, a backslash as \\ and every other
// byte as \xNN: the form in which every text from outside (a site, a
// certificate) reaches a report.
std::string escaped(const std::string &bytes);

// The manifest text for these values, one key per line, ending in a newline.
std::string manifest_text(const std::string &version, const std::string &url,
                          const std::string &sha256, long long size);

// Writes `text` to `path` whole or not at all, on the disk when it
// returns. Returns false, with the reason in `fault`, when it could not.
bool write_file(const std::string &path, const std::string &text, std::string *fault);
