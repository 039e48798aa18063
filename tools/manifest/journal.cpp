// What `publish` keeps in the manifest's folder (journal.h).
//
// A journal is one small JSON object, windows-setup.publish.<SHA-256>.journal:
//   {"manifest_sha256": "...", "state": "begun", "exit_code": -1,
//    "rollback": "windows-setup.previous.1.4.1.json", "rollback_sha256": "..."}
// with the state "begun", "uploading the manifest" or "ended".

#include "journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "checks.h"
#include "manifest_json.h"

namespace {

const char *const LOCK_NAME = "windows-setup.publish.lock";
const char *const STATES[] = {"none", "begun", "uploading the manifest", "ended"};

// The bytes of the file at `path` into `text`; false when it cannot be
// read, and then errno says why.
bool read_text(const std::string &path, std::string *text)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    *text = bytes.str();
    return file.good() || file.eof();
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// True when the file at `path` holds `text`.
bool holds(const std::string &path, const std::string &text)
{
    std::string bytes;
    return exists(path) && read_text(path, &bytes) && bytes == text;
}

// Keeps `text` in `folder` under a name of its own, returned in `name`.
bool keep_under_own_name(const std::string &folder, const std::string &text, std::string *name,
                         std::string *fault)
{
    CheckedManifest checked;
    Gathered quiet;
    Gathered *outer = gather(&quiet);
    bool passes = passes_rules(text, &checked.fields, &checked.release);
    gather(outer);
    std::string sha256 = sha256_of(text);
    if (sha256.empty()) {
        *fault = "cannot compute the SHA-256 of a rollback point";
        return false;
    }
    *name = "windows-setup.previous." + (passes ? std::string(checked.fields.version) : sha256) +
            ".json";
    if (holds(folder + *name, text))
        return true;
    // The same version with other bytes: both are kept.
    if (exists(folder + *name))
        *name = "windows-setup.previous." + sha256 + ".json";
    return write_file(folder + *name, text, fault);
}

} // namespace

bool lock_folder(const std::string &folder, std::string *fault)
{
    std::string path = folder + LOCK_NAME;
    // Held until the tool ends; closed in every program that it starts.
    int lock = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) == 0)
        return true;
    *fault = errno == EWOULDBLOCK ? "another publish runs in " + (folder.empty() ? "." : folder) +
                                        " (it holds " + path + ")"
                                  : "cannot lock " + path + ": " + strerror(errno);
    if (lock >= 0)
        close(lock);
    return false;
}

bool read_journal(const std::string &folder, const std::string &sha256, Journal *journal,
                  std::string *fault)
{
    *journal = Journal();
    journal->path = folder + "windows-setup.publish." + sha256 + ".journal";
    journal->manifest_sha256 = sha256;
    std::string text;
    if (!exists(journal->path))
        return true;
    nlohmann::json record = read_text(journal->path, &text)
                                ? nlohmann::json::parse(text, nullptr, false)
                                : nlohmann::json();
    int state = -1;
    for (int i = JOURNAL_BEGUN; i <= JOURNAL_ENDED; i++)
        if (record.is_object() && record.value("state", "") == STATES[i])
            state = i;
    if (state < 0 || record.value("manifest_sha256", "") != sha256) {
        *fault = "the journal " + journal->path + " cannot be read: move it away only when no " +
                 "publish of this manifest may be unfinished";
        return false;
    }
    journal->state = (JournalState)state;
    journal->exit_code = record.value("exit_code", -1);
    journal->rollback = record.value("rollback", "");
    journal->rollback_sha256 = record.value("rollback_sha256", "");
    return true;
}

bool write_journal(const Journal &journal, std::string *fault)
{
    nlohmann::json record = {{"manifest_sha256", journal.manifest_sha256},
                             {"state", STATES[journal.state]},
                             {"exit_code", journal.exit_code},
                             {"rollback", journal.rollback},
                             {"rollback_sha256", journal.rollback_sha256}};
    return write_file(journal.path, record.dump() + "\n", fault);
}

std::string journal_text(const Journal &journal)
{
    std::string rollback =
        journal.rollback.empty() ? "no rollback point" : "rollback point " + journal.rollback;
    switch (journal.state) {
    case JOURNAL_NONE:
        return "no earlier run of this manifest";
    case JOURNAL_BEGUN:
        return "an earlier run ended before its manifest upload began (" + rollback + ")";
    case JOURNAL_UPLOADING_MANIFEST:
        return "an earlier run ended after its manifest upload began (" + rollback + ")";
    case JOURNAL_ENDED:
        return "an earlier run ended with exit code " + std::to_string(journal.exit_code) + " (" +
               rollback + ")";
    }
    return "";
}

bool keep_rollback(const std::string &folder, const std::string &text, Journal *journal,
                   std::string *fault)
{
    std::string name;
    if (!keep_under_own_name(folder, text, &name, fault) ||
        !write_file(folder + PREVIOUS_NAME, text, fault))
        return false;
    journal->rollback = name;
    journal->rollback_sha256 = sha256_of(text);
    return true;
}

bool read_rollback(const std::string &folder, const Journal &journal, std::string *text,
                   std::string *fault)
{
    std::string path = folder + journal.rollback;
    if (!read_text(path, text)) {
        *fault = "the rollback point " + path + " cannot be read: " + strerror(errno);
        return false;
    }
    if (sha256_of(*text) != journal.rollback_sha256) {
        *fault = "the rollback point " + path + " changed since the journal named it";
        return false;
    }
    return true;
}

bool no_rollback(const std::string &folder, std::string *fault)
{
    std::string text, name;
    if (!exists(folder + PREVIOUS_NAME))
        return true;
    if (!read_text(folder + PREVIOUS_NAME, &text)) {
        *fault = "cannot read " + folder + PREVIOUS_NAME + ": " + strerror(errno);
        return false;
    }
    if (!keep_under_own_name(folder, text, &name, fault))
        return false;
    if (std::remove((folder + PREVIOUS_NAME).c_str()) == 0)
        return true;
    *fault = "cannot remove " + folder + PREVIOUS_NAME + ": " + strerror(errno);
    return false;
}
