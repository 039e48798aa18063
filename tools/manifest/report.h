// The tool's output: its report lines and refusals, written at once or
// gathered for a report written later; and the findings of `live` (and of
// `publish`, which is built on it), with their two writers, the text
// report and one JSON object, both written from the record and never from
// each other.
//
// Every text in the record that came from outside the tool (a site's
// headers, URLs and addresses, libcurl's messages) is kept as escaped()
// made it when it was recorded, a signer's name as shown_name() shows it,
// and a manifest's values only once its rules have passed them (digits,
// dots and URL bytes): neither writer can print a byte that a site chose,
// no terminal control, no line break, no invalid UTF-8.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "manifest_json.h"
#include "signature.h"

// What "every address" means, said beside every verdict that names it.
const char *const VANTAGE_POINT =
    "(every address that this machine resolves for the site host: one vantage point; a CDN's "
    "other edges cannot be reached one by one, and there the purge and the cache lifetimes make "
    "a release reach them)";

// The report lines and refusals of the checks, gathered for a report that
// is written afterwards instead of written at once.
struct Gathered {
    std::vector<std::string> lines;
    std::vector<std::string> refusals;
};

// Makes report() and refuse() add to `into` from now on, or write when
// `into` is null. Returns where they went before, for the caller to put
// back.
Gathered *gather(Gathered *into);

// Writes one report line, formatted as printf does, to standard output.
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes "refused: MESSAGE" to standard error and returns false.
bool refuse(const std::string &message);

// `value` quoted for a message line.
std::string shown(const std::string &value);

// What the report says of one program's signature.
struct SignerFindings {
    std::string role;            // heads its lines: "" or "bootstrapper "
    std::string signer;          // the display name as shown, or what went wrong
    std::string expected;        // the publisher, as shown
    std::string timestamp;       // the verified time; "" for none
    std::string timestamp_fault; // why a timestamp that is there does not verify
    std::string signing_time;    // what the signer's path was judged at
    CertificatePath path;        // the signer's certificate path
    CertificatePath timestamp_path;
    int nested = 0;              // nested signatures, not judged
};

// One transfer of one file from one address.
struct FetchFindings {
    std::string url;       // what was asked for; "" when nothing was fetched
    std::string final_url; // where the body came from, after redirects
    std::string ip;        // the address that answered it
    long status = 0;
    long long bytes = 0;
    std::string sha256;    // of a body received whole; "" otherwise
    std::vector<std::pair<std::string, std::string>> headers; // the reported ones
    std::string fault;     // "" for a 200 received whole
    bool wrong_size = false; // a 200 whose body was not the size asked for
    std::string content_type; // of the final response
    bool pe_image = false;    // a 200 body that begins with MZ
    bool json_object = false; // a 200 body whose first byte after any blanks is {
};

// What one address serves.
struct AddressFindings {
    std::string address;
    FetchFindings manifest;
    std::string version;   // the release that the manifest names ("" for none)
    long long size = 0;
    std::string setup_url;
    FetchFindings setup;
    bool signer_judged = false;
    SignerFindings signer;
    std::vector<std::string> warnings;
    std::vector<std::string> refusals;
};

// One round of checks.
struct LiveFindings {
    bool passed = false;
    int rounds = 0;
    std::vector<AddressFindings> addresses;
    bool bootstrapper_judged = false;
    SignerFindings bootstrapper;
    std::vector<std::string> refusals; // the round's own, beside the addresses'
};

// One step of `publish`.
struct StepFindings {
    std::string name;
    std::string outcome;                // "passed", "refused", "skipped", "planned", ...
    std::vector<std::string> lines;     // what its local checks reported
    std::vector<std::string> commands;  // the commands it ran or would run, shown, each after
                                        // "upload: " or "purge: "
    bool looked = false;                // it read the site: `site` holds what it found
    LiveFindings site;
    std::vector<std::string> refusals;  // its own, beside those in `site`
};

// What `publish` did, step by step, and its verdict.
struct PublishFindings {
    int exit_code = 1;
    std::string verdict;          // one line
    std::string rollback = "none"; // the manifest kept to put back, or "none"
    std::vector<StepFindings> steps;
};

// Every refusal of `findings`, the addresses' first, in the order found.
std::vector<std::string> all_refusals(const LiveFindings &findings);

// Reports the lines of one signer (signer, timestamp, ...), each headed by
// `indent` and the signer's role, through report() (checks.h).
void write_signer(const SignerFindings &signer, const char *indent);

// Writes the text report: the findings to standard output, each refusal as
// "refused: ..." to standard error where it arose.
void write_text(const LiveFindings &findings);

// Writes the findings as one JSON object to standard output: at least
// `passed` (the verdict of the exit code), `addresses` and `refusals`.
void write_json(const LiveFindings &findings);

// The text report of `publish`, written as it goes: one step (its number,
// name and outcome, its commands, lines, addresses and refusals), and at
// the end the rollback point and the verdict, on standard output for exit
// code 0 and otherwise on standard error.
void write_step(const StepFindings &step, int number);
void write_verdict(const PublishFindings &findings);

// All of `publish` as one JSON object: `passed`, `exit_code`, `verdict`,
// `rollback` and `steps`.
void write_publish_json(const PublishFindings &findings);
