// Helpers shared by the unit and conformance tests.
#pragma once

#include <string>
#include <vector>

#include "app/config.h"

// Called by the test build's countdown pause with the number of pauses so
// far (1 for the first).
typedef void (*CountdownObserver)(int pause);
extern CountdownObserver countdown_observer;
extern int countdown_pauses;

// Puts the program's shared state back to its start values.
void reset_run_state();

// The local test site (tests/site), reached as https://localhost:PORT, and
// its twin with an untrusted certificate; both ports are CMake cache
// variables. Its files live in the harness folder, which Wine shows as a Z:
// path.
extern const std::wstring SITE;
extern const std::wstring UNTRUSTED_SITE;
std::wstring harness_path(const std::wstring &relative);
std::wstring site_file_path(const std::string &url_path);

// Publishes `data` at `url_path` ("/a/b.bin"), or removes it.
void site_put(const std::string &url_path, const std::string &data);
void site_remove(const std::string &url_path);
// Makes the response for `url_path` misbehave: `json` is the fault object,
// for example R"({"status": 404})"; an empty text removes the fault.
void site_fault(const std::string &url_path, const std::string &json);
// Number of requests the site has logged for `url_path` (query included).
int site_requests(const std::string &url_path);

// A text of `size` bytes that differs from position to position.
std::string pattern_bytes(size_t size, unsigned seed = 1);
// Lowercase hexadecimal SHA-256 of `data`, computed with CNG.
std::string sha256_hex(const std::string &data);

// A release manifest. Each member is its JSON value as written, so that a
// test can give a bare number or a broken value; quoted() makes a string.
#define SAMPLE_SHA256 "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"
struct Manifest {
    std::string version = "\"1.4.2\"";
    std::string url = "\"" DOWNLOAD_URL_PREFIX "Tarvik-Setup-1.4.2.exe\"";
    std::string sha256 = "\"" SAMPLE_SHA256 "\"";
    std::string size = "1000000";

    std::string text() const;
};
std::string quoted(const std::string &text);

// Publishes a release: the setup program at /downloads/<name> and a
// manifest that describes it (version, URL, digest, size).
void publish_release(const std::string &setup, const std::string &version = "1.4.2",
                     const std::string &name = "Tarvik-Setup.exe");
// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::wstring &path);
bool file_exists(const std::wstring &path);
// Waits up to `wait_ms` for `path` to appear; says whether it is there.
bool wait_for_file(const std::wstring &path, int wait_ms = 5000);
// The Wine user's temporary folder, ending in a backslash.
std::wstring temp_folder();
// An ASCII text as 8-bit characters.
std::string narrow(const std::wstring &text);

// The test setup program's plan (see tests/tools/test_setup.cpp): writes it,
// points TARVIK_TEST_SETUP_PLAN of this process (and so of the programs it
// starts) at it and clears the run log. Returns the plan's path.
std::wstring write_setup_plan(const std::string &plan);
// The command lines of the runs logged so far, in order.
std::vector<std::string> setup_runs();
// Copies the test setup program (unsigned) to `path`.
void install_test_setup(const std::wstring &path);

// The test application (tests/tools/test_app.cpp), which logs each start to
// opened.log beside itself.
std::wstring test_app_path();
// Copies it into `folder`, made with its parents, as Tarvik.exe, and removes
// its log of starts. Returns the copy's path.
std::wstring install_test_app(const std::wstring &folder);
// Whether the test application in `folder` starts within `wait_ms`.
bool app_opened(const std::wstring &folder, int wait_ms = 5000);
