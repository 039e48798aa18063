// `tarvik-manifest live`: the published release fetched back through the
// public site, address by address, and judged by the bootstrapper's rules.
#pragma once

#include <openssl/types.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "report.h"

// Where the site publishes the manifest.
const char *const MANIFEST_PATH = "/windows-setup.json";

struct LiveOptions {
    std::vector<std::string> addresses; // empty: every address of the site host
    std::string cacert;                 // "" for the system's trusted roots
    std::string publisher;
    X509_STORE *roots = nullptr;        // the roots users trust; null: the paths' ends are named
    std::string bootstrapper;           // "" for none
    std::string expect;                 // a manifest every address must serve; "" for any
    std::string expect_setup;           // with `expect`: its setup program, or ""
    long wait_seconds = 0;              // repeat failing rounds this long
    long max_seconds = 3600;            // without a wait: how long one round may take
    bool json = false;                  // the findings as one JSON object
    time_t deadline = 0;                // when a round's transfers end (0: never); each
                                        // transfer gets at least 5 s
};

// How much of a response's body a transfer takes.
enum BodyRule {
    BODY_UP_TO,   // no more than the limit
    BODY_EXACTLY, // the limit: a Content-Length other than it ends the transfer before the body
    BODY_PROBE,   // no more than the limit, and of a body that is not a PE image, or not of the
                  // limit's length, only the first bytes: enough to tell what it is
};

// GETs `url` as the bootstrapper would, with the connection to the site
// host (on any port) pinned to `address`, the body into `text` or `file`
// as `rule` says, no further than `limit` bytes. It ends, too, when it
// averages less than 1 KiB a second over 60 s (too slow for users), and at
// options.deadline. Fills `found`, with the headers named in `reported`
// (lower case); its fault is "" for a 200 received whole.
void fetch_url(const std::string &url, const std::string &address, const LiveOptions &options,
               long long limit, BodyRule rule, std::string *text, FILE *file,
               const std::vector<std::string> &reported, FetchFindings *found);

// How long the headers of `fetch` let a shared cache keep it, in seconds:
// the largest s-maxage of its Cache-Control, else the largest max-age
// (no-cache and private do not cancel them), else its Expires against its
// Date (0 when Expires does not parse); -1 when they say nothing.
long cache_lifetime(const FetchFindings &fetch);

// https://<site host>/windows-setup.json
std::string manifest_url();

// Fetches the manifest from `address` into `text` (as fetch_url does, no
// further than the bootstrapper reads), with the headers that say how long
// caches keep it.
void fetch_manifest(const LiveOptions &options, const std::string &address, std::string *text,
                    FetchFindings *found);

// Fetches the setup program at `url` from `address` and judges it alone:
// `size` bytes with the SHA-256 `sha256`, and a signature that a
// bootstrapper signed by options.publisher accepts. Fills found->setup and
// found->signer; a refusal goes to found->refusals. True when it passes.
bool check_setup(const LiveOptions &options, const std::string &address, const std::string &url,
                 long long size, const std::string &sha256, AddressFindings *found);

// Resolves the addresses to check now, those of options.addresses (or of
// the site host), each into a new entry of findings->addresses. A name
// that does not resolve, or no address at all, is a refusal of `findings`.
// True when there are addresses and no refusal.
bool resolve_addresses(const LiveOptions &options, LiveFindings *findings);

// One round over every address: each must serve a manifest that passes
// the rules (and is `expected`, unless that is "") and the setup program it
// describes; all must serve the same; the bootstrapper, when given, must
// be signed by the publisher with a timestamp.
void live_round(const LiveOptions &options, const std::string &expected, LiveFindings *findings);

// When the transfers of a check that starts now end: with its wait, or
// without one after options.max_seconds.
time_t transfers_deadline(const LiveOptions &options);

// A check that is repeated until it passes: it records what it found in
// its context, with its transfers ended by `deadline`, and returns whether
// it passed, with its first refusal in `*first` when it did not.
typedef bool (*RoundCheck)(void *context, time_t deadline, std::string *first);

// Runs `check` until it passes or options.wait_seconds are up, 5 s apart,
// starting no round after that; the transfers of a round end at
// transfers_deadline(). Each failing round that leaves time is reported
// on one line, "round N: waiting for: ...", on standard output, or with
// options.json on standard error (where standard output holds a JSON
// object). Returns whether the last round passed; `*rounds` counts them,
// and `check` may not change it.
bool repeat_check(const LiveOptions &options, RoundCheck check, void *context, int *rounds);

// live_round() repeated as repeat_check() repeats it; `findings` holds the
// last round. True when it passed.
bool live_wait(const LiveOptions &options, const std::string &expected, LiveFindings *findings);

// Returns true when every address serves the same release and it passes
// (and is the expected one). With a wait, a failing round is reported by
// its first refusal on one line and repeated after a pause until one
// passes or the time is up; the last round's report is written whole, as
// text or as JSON.
bool command_live(const LiveOptions &options);
