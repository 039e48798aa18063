// What `publish` keeps in the manifest's folder, so that a run that was
// killed, or ended badly, can be finished or undone by the next run of the
// same command: a journal for each manifest, keyed by its SHA-256, and the
// rollback points, each manifest that a site served before a run, under a
// name of its own. A rollback point is never deleted.
//
// Every file is written whole or not at all (a temporary file, fsync, then
// a rename), and one run at a time works in a folder (flock).
#pragma once

#include <string>

// The name that always holds the rollback point of the folder's latest
// run, as scripts and the README know it.
const char *const PREVIOUS_NAME = "windows-setup.previous.json";

enum JournalState {
    JOURNAL_NONE,               // no run of this manifest was recorded
    JOURNAL_BEGUN,              // a run began; it uploaded no manifest yet
    JOURNAL_UPLOADING_MANIFEST, // a run began to upload the manifest
    JOURNAL_ENDED,              // a run ended, with `exit_code`
};

// The journal of one manifest in one folder.
struct Journal {
    std::string path;
    std::string manifest_sha256;
    JournalState state = JOURNAL_NONE;
    int exit_code = -1;
    std::string rollback;        // the file that keeps the rollback point; "" for none
    std::string rollback_sha256; // its SHA-256
};

// Takes the lock of `folder` ("" or ending in a slash) for the rest of
// the tool's life. False, with the reason in `fault`, when another run
// holds it or it cannot be taken.
bool lock_folder(const std::string &folder, std::string *fault);

// Reads the journal of the manifest whose SHA-256 is `sha256` in `folder`
// into `journal`, which is JOURNAL_NONE when there is none. False, with
// the reason in `fault`, when one is there but cannot be read.
bool read_journal(const std::string &folder, const std::string &sha256, Journal *journal,
                  std::string *fault);

// Writes `journal` in place of the one before. False, with the reason in
// `fault`, when it cannot.
bool write_journal(const Journal &journal, std::string *fault);

// What `journal` records, for the report.
std::string journal_text(const Journal &journal);

// Keeps `text`, a manifest that a site served, in `folder` under a name of
// its own (by its version when it passes the bootstrapper's rules, else by
// its SHA-256, never over other bytes), and as PREVIOUS_NAME. Sets
// journal->rollback and rollback_sha256 to it. False, with the reason in
// `fault`, when it cannot be written.
bool keep_rollback(const std::string &folder, const std::string &text, Journal *journal,
                   std::string *fault);

// Reads the rollback point that `journal` names into `text`. False, with
// the reason in `fault`, when it is missing or changed since.
bool read_rollback(const std::string &folder, const Journal &journal, std::string *text,
                   std::string *fault);

// Removes PREVIOUS_NAME when a run has no rollback point, keeping its
// bytes under their own name first. False, with the reason in `fault`,
// when they cannot be kept.
bool no_rollback(const std::string &folder, std::string *fault);
