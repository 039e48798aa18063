// Helpers shared by the unit and conformance tests.
#pragma once

#include <string>
#include <vector>

// Called by the test build's countdown pause with the number of pauses so
// far (1 for the first).
typedef void (*CountdownObserver)(int pause);
extern CountdownObserver countdown_observer;
extern int countdown_pauses;

// Puts the program's shared state back to its start values.
void reset_run_state();

// The local test site (tests/site), reached as https://localhost:PORT. Its
// files live in the harness folder, which Wine shows as a Z: path.
extern const std::wstring SITE;           // "https://localhost:8443"
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

// Publishes a release: the setup program at /downloads/<name> and a
// manifest that describes it (version, URL, digest, size).
void publish_release(const std::string &setup, const std::string &version = "1.4.2",
                     const std::string &name = "Tarvik-Setup.exe");
// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::wstring &path);
bool file_exists(const std::wstring &path);

// The test setup program's plan (see tests/tools/test_setup.cpp): writes it,
// points TARVIK_TEST_SETUP_PLAN of this process (and so of the programs it
// starts) at it and clears the run log. Returns the plan's path.
std::wstring write_setup_plan(const std::string &plan);
// The command lines of the runs logged so far, in order.
std::vector<std::string> setup_runs();
// Copies the test setup program (unsigned) to `path`.
void install_test_setup(const std::wstring &path);
