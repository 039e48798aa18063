// Writing the manifest file, and the quoting of values that it shares with
// the tool's messages. The bootstrapper understands no escape in a value:
// an escaped value keeps the file JSON, and the bootstrapper's rules then
// refuse it.

#include "manifest_json.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// Longest part of a value that a message shows.
const size_t MESSAGE_VALUE_BYTES = 80;

std::string quoted(const std::string &value, Quoting quoting)
{
    bool message = quoting == QUOTE_MESSAGE;
    std::string out = "\"";
    for (size_t i = 0; i < value.size(); i++) {
        unsigned char c = (unsigned char)value[i];
        if (message && i == MESSAGE_VALUE_BYTES)
            return out + "\"...";
        char escaped[8] = {(char)c, 0};
        if (c == '"' || c == '\\')
            snprintf(escaped, sizeof escaped, "\\%c", c);
        else if (c < 0x20 || (message && c >= 0x7F))
            snprintf(escaped, sizeof escaped, message ? "\\x%02x" : "\\u%04x", c);
        out += escaped;
    }
    return out + "\"";
}

std::string escaped(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        char escape[8];
        if (c == '\\')
            out += "\\\\";
        else if (c >= 0x20 && c < 0x7F)
            out += (char)c;
        else {
            snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        }
    }
    return out;
}

std::string manifest_text(const std::string &version, const std::string &url,
                          const std::string &sha256, long long size)
{
    return "{\n  \"version\": " + quoted(version, QUOTE_JSON) + ",\n  \"url\": " +
           quoted(url, QUOTE_JSON) + ",\n  \"sha256\": " + quoted(sha256, QUOTE_JSON) +
           ",\n  \"size\": " + std::to_string(size) + "\n}\n";
}

// Written beside the target, flushed to the disk and renamed over it, so
// that neither a failed write nor a crash or power loss ever leaves a
// partial file under the name. The folder is flushed after the rename, so
// that the new name (a publish's journal among them) outlasts a power loss.
bool write_file(const std::string &path, const std::string &text, std::string *fault)
{
    std::string temporary = path + ".tmp";
    int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    size_t written = 0;
    while (file >= 0 && written < text.size()) {
        ssize_t piece = write(file, text.data() + written, text.size() - written);
        if (piece <= 0 && errno != EINTR)
            break;
        written += piece > 0 ? (size_t)piece : 0;
    }
    bool whole = file >= 0 && written == text.size() && fsync(file) == 0;
    if (file >= 0 && close(file) != 0)
        whole = false;
    if (whole && std::rename(temporary.c_str(), path.c_str()) == 0) {
        // Best effort, as some file systems refuse to flush a folder; the
        // file itself is whole either way.
        size_t slash = path.rfind('/');
        std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (directory >= 0) {
            fsync(directory);
            close(directory);
        }
        return true;
    }
    *fault = "cannot write " + path + ": " + strerror(errno);
    std::remove(temporary.c_str());
    return false;
}
