// tarvik-manifest: the publisher's tool for the release manifest
// (windows-setup.json) that the bootstrapper reads.
//
//   tarvik-manifest make SETUP.exe VERSION URL [-o FILE] [--publisher NAME]
//                        [--allow-no-timestamp] [--allow-unversioned-url]
//   tarvik-manifest check MANIFEST [SETUP.exe [--publisher NAME]
//                                             [--bootstrapper FILE]]
//   tarvik-manifest signature FILE [--publisher NAME] [--timestamped]
//   (each command that judges a signature also takes --roots FILE)
//   tarvik-manifest live [--address ADDR]... [--cacert FILE] [--publisher NAME]
//                        [--bootstrapper FILE] [--expect MANIFEST [SETUP.exe]]
//                        [--wait SECONDS | --max-time SECONDS] [--json]
//   tarvik-manifest publish MANIFEST SETUP.exe --upload COMMAND [--purge COMMAND]
//                        [--absent-status CODE]... [--bootstrapper FILE] [--publisher NAME]
//                        [--address ADDR]... [--cacert FILE] [--wait SECONDS] [--dry-run]
//                        [--json]
//
// `make` and `check` report the setup program's signer and the time of its signature's
// timestamp. `make` writes nothing for a setup program that is unsigned,
// signed by another publisher, or signed without a timestamp (a signature
// that Windows stops trusting when its certificate expires);
// --allow-no-timestamp lifts the last refusal only, for tests: an unsigned
// program is refused for its missing signer either way. `make` also refuses a
// download URL whose last path segment does not hold the version as a whole
// token (--allow-unversioned-url lifts it). `check` requires a
// timestamp only with --bootstrapper, which confirms that the signed,
// timestamped bootstrapper FILE has the setup program's signer. `signature`
// judges one file's signature alone: the build's check of a signed
// bootstrapper. `live` fetches the published release back (live.cpp);
// `publish` uploads a release in the safe order (publish.cpp).
//
// It is a native Linux program compiled together with the bootstrapper's own
// src/net/manifest.cpp, for the same TARVIK_SITE_HOST: a manifest that it
// writes or passes has been judged by the very code, and the very download
// URL prefix, that the bootstrapper uses. A tool built for another site host
// refuses every URL of this one, which is what the bootstrapper would do.
//
// This file holds the argument handling and the commands. The checks they
// share are in checks.cpp, the signature is read in signature.cpp, the file
// written in manifest_json.cpp, and `live` with its report is in live.cpp
// and report.cpp.
//
// Exit codes: 0 accepted, 1 refused or failed, 2 bad arguments; publish's
// 3: the site may serve a release that does not pass.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/config.h"
#include "checks.h"
#include "live.h"
#include "manifest_json.h"
#include "net/fetch.h"
#include "net/manifest.h"
#include "publish.h"
#include "signature.h"

const char *const DEFAULT_PUBLISHER = "Braskworks";
const char *const DEFAULT_OUTPUT = "windows-setup.json";
// How long publish waits, at most, for each of its waiting steps.
const long DEFAULT_PUBLISH_WAIT = 900;

enum ExitCode { EXIT_OK = 0, EXIT_REFUSED = 1, EXIT_USAGE = 2 };

// The checks of the size of a setup program that the bootstrapper makes
// through the manifest's "size" rule, stated in terms of the file.
bool setup_size_acceptable(const std::string &path, long long size)
{
    if (size == 0)
        return refuse(path + " is empty (0 bytes); the bootstrapper accepts 1 to " +
                      std::to_string(MAX_RELEASE_SIZE) + " bytes");
    if (size > MAX_RELEASE_SIZE)
        return refuse(path + " is " + std::to_string(size) +
                      " bytes; the bootstrapper accepts at most " +
                      std::to_string(MAX_RELEASE_SIZE) + " bytes (300 MiB)");
    return true;
}

void usage(FILE *out)
{
    fprintf(out,
            "usage: tarvik-manifest make SETUP.exe VERSION URL [-o FILE] [--publisher NAME]\n"
            "                            [--allow-no-timestamp] [--allow-unversioned-url]\n"
            "       tarvik-manifest check MANIFEST [SETUP.exe [--publisher NAME]\n"
            "                                                 [--bootstrapper FILE]]\n"
            "       tarvik-manifest signature FILE [--publisher NAME] [--timestamped]\n"
            "       (make, check, signature, live and publish also take --roots FILE)\n"
            "       tarvik-manifest live [--address ADDR]... [--cacert FILE] [--publisher NAME]\n"
            "                            [--bootstrapper FILE] [--expect MANIFEST [SETUP.exe]]\n"
            "                            [--wait SECONDS | --max-time SECONDS] [--json]\n"
            "       tarvik-manifest publish MANIFEST SETUP.exe --upload COMMAND [--purge COMMAND]\n"
            "                            [--absent-status CODE]... [--bootstrapper FILE]\n"
            "                            [--publisher NAME] [--address ADDR]... [--cacert FILE]\n"
            "                            [--wait SECONDS] [--dry-run] [--json]\n"
            "\n"
            "  make    write the release manifest for SETUP.exe to FILE\n"
            "          (default %s), only if the bootstrapper would accept it\n"
            "          and the signature of SETUP.exe has a timestamp\n"
            "  check   apply the bootstrapper's rules to MANIFEST; with SETUP.exe also\n"
            "          compare its size and SHA-256 with the manifest's\n"
            "  signature  judge the signature of FILE alone (the build's check of a\n"
            "          signed bootstrapper)\n"
            "  live    fetch the published release back from https://" TARVIK_SITE_HOST_TEXT "\n"
            "          as the bootstrapper would, from every address of the host (or\n"
            "          of each --address ADDR, an address or a host name), and judge\n"
            "          it as check does; every address must serve the same files,\n"
            "          with TLS for the site host. A transfer ends when it stalls\n"
            "          (30 s below a byte a second) or averages below 1 KiB a second\n"
            "          over 60 s (too slow for users); --cacert FILE trusts a private\n"
            "          authority. --expect: every address must serve exactly MANIFEST\n"
            "          (and SETUP.exe must be the file it describes); --wait: repeat\n"
            "          a failing check every 5 s until it passes or SECONDS are up,\n"
            "          each transfer ending with the wait (after at least 5 s);\n"
            "          without it, the check ends within --max-time SECONDS (default\n"
            "          3600); --json: the findings as one JSON object\n"
            "  publish check MANIFEST and SETUP.exe as check does, read what the site\n"
            "          serves now (kept as the rollback point), upload SETUP.exe unless\n"
            "          every address has it and wait until they all serve it, upload\n"
            "          MANIFEST last and wait until live passes (each wait up to\n"
            "          SECONDS, default 900), or else upload the rollback point again\n"
            "          and wait until it passes as live --expect does. A journal beside\n"
            "          MANIFEST lets the same command, run again, finish or undo a run\n"
            "          that was killed: after one that went live it only checks live.\n"
            "          COMMAND runs once a file, without a shell, split as a shell\n"
            "          splits one simple command (NAME=value words before the program\n"
            "          set its environment), with @FILE@, @PATH@, @KEY@ (the path\n"
            "          without its /), @URL@, @CACHE_CONTROL@ and @CONTENT_TYPE@\n"
            "          replaced, its output copied to standard error; --purge COMMAND,\n"
            "          run alike after each upload, drops the path from the CDN's\n"
            "          caches; --absent-status CODE (400 to 499, again and again): a\n"
            "          status that the site answers for a file it does not have, beside\n"
            "          404 and 410 (403 for S3 read without s3:ListBucket); a 200 page\n"
            "          is nothing there too; --dry-run uploads and writes nothing\n"
            "  All report the signer and the time of the timestamp, read from the\n"
            "  file's own signature: the signer certificate must verify the primary\n"
            "  signature, and the signed digest must be the file's. The certificate\n"
            "  paths of the signer and of the timestamp must hold at the signing time\n"
            "  (the timestamp's, else now; now for lifetime signing): each\n"
            "  certificate below the root valid then, each issuer a certificate\n"
            "  authority, every extended key usage allowing the use. Left to Windows:\n"
            "  whether the root is trusted (unless --roots names the roots),\n"
            "  revocation, and what it fetches itself to complete a path.\n"
            "\n"
            "  --publisher NAME      the signer display name that SETUP.exe must carry\n"
            "                        (default %s)\n"
            "  --allow-no-timestamp  let make accept a SETUP.exe signed without a timestamp\n"
            "                        (for tests; an unsigned one is still refused)\n"
            "  --allow-unversioned-url\n"
            "                        let make accept a URL whose last path segment does\n"
            "                        not hold VERSION as a whole token\n"
            "  --bootstrapper FILE   confirm that the signed bootstrapper FILE accepts\n"
            "                        SETUP.exe: the same signer, both with a timestamp\n"
            "  --timestamped         let signature require a timestamp that verifies\n"
            "  --roots FILE          the roots (PEM) that users' Windows trusts for code\n"
            "                        signing and time stamping: both paths must end at\n"
            "                        one of them\n"
            "\n"
            "Built for download URLs beginning with " DOWNLOAD_URL_PREFIX "\n"
            "Exit codes: 0 accepted, 1 refused, 2 bad arguments; for publish 0 live,\n"
            "1 not live, and every address serves the rollback point (the last release\n"
            "that was live) as before: the run stopped before its manifest upload, or put\n"
            "the rollback point back and verified it as a release, or found this release\n"
            "published already and uploaded nothing; 3 the site may serve a release\n"
            "that does not pass.\n",
            DEFAULT_OUTPUT, DEFAULT_PUBLISHER);
}

bool command_make(const std::string &setup, const std::string &version, const std::string &url,
                  const std::string &output, const std::string &publisher, X509_STORE *roots,
                  bool need_timestamp, bool allow_unversioned)
{
    FileFacts facts;
    if (!stat_file(setup, &facts) || !setup_size_acceptable(setup, facts.size) ||
        !read_file(setup, &facts, nullptr))
        return false;
    // The exact text to be written goes through the bootstrapper's sink and
    // rules, and the values they read back must be the ones meant.
    std::string text = manifest_text(version, url, facts.sha256, facts.size);
    ManifestFields fields = {};
    ReleaseInfo release = {};
    if (!passes_rules(text, &fields, &release, &version, &url))
        return false;
    if (fields.version != version || fields.url != url || release.sha256_hex != facts.sha256 ||
        release.expected_size != facts.size)
        return refuse("the bootstrapper would read other values than the ones given (version " +
                      shown(fields.version) + ", url " + shown(fields.url) + ")");
    // A setup program republished under the same URL with other bytes fails
    // for every user whose manifest or download some cache still holds.
    if (!allow_unversioned && !url_names_version(url, version))
        return refuse("the url's last path segment must hold the version " + shown(version) +
                      " as a whole token, so that each release has a URL of its own (got " +
                      shown(url) + "; --allow-unversioned-url lets it through)");
    std::string fault;
    if (!check_signer("", setup, publisher, roots, need_timestamp, setup_refused(publisher)))
        return false;
    if (!write_file(output, text, &fault))
        return refuse(fault);
    report("wrote %s (%zu bytes): version %s, size %lld, sha256 %s", output.c_str(),
           text.size(), version.c_str(), facts.size, facts.sha256.c_str());
    return true;
}

// With `bootstrapper` (not empty) also judges the bootstrapper's signature;
// both must then have a timestamp.
bool command_check(const std::string &manifest, const std::string *setup,
                   const std::string &publisher, X509_STORE *roots,
                   const std::string &bootstrapper, CheckedManifest *checked)
{
    CheckedManifest read;
    if (!read_manifest(manifest, &read))
        return false;
    if (checked != nullptr)
        *checked = read;
    const ManifestFields &fields = read.fields;
    const ReleaseInfo &release = read.release;
    report("ok: %s passes the bootstrapper's rules (%zu bytes)", manifest.c_str(),
           read.text.size());
    report("ok: version %s", fields.version);
    report("ok: url %s", fields.url);
    report("ok: sha256 %s", release.sha256_hex);
    report("ok: size %lld", release.expected_size);
    if (setup == nullptr)
        return true;

    FileFacts facts;
    if (!stat_file(*setup, &facts) || !read_file(*setup, &facts, nullptr))
        return false;
    if (facts.size != release.expected_size)
        return refuse(*setup + " is " + std::to_string(facts.size) + " bytes, the manifest says " +
                      std::to_string(release.expected_size));
    report("ok: %s is %lld bytes", setup->c_str(), facts.size);
    if (facts.sha256 != release.sha256_hex)
        return refuse("the SHA-256 of " + *setup + " is " + facts.sha256 +
                      ", the manifest says " + release.sha256_hex);
    report("ok: %s has the manifest's SHA-256", setup->c_str());
    bool pair = !bootstrapper.empty();
    FileFacts ignored;
    return check_signer("", *setup, publisher, roots, pair, setup_refused(publisher)) &&
           (!pair || (stat_file(bootstrapper, &ignored) &&
                      check_signer("bootstrapper ", bootstrapper, publisher, roots, true,
                                   bootstrapper_refused(publisher))));
}

int main(int argc, char **argv)
{
    // The options that take a value, with their defaults (--address may be
    // given again and again, and gathers into `live`), and the flags.
    std::map<std::string, std::string> values = {
        {"-o", DEFAULT_OUTPUT}, {"--publisher", DEFAULT_PUBLISHER}, {"--bootstrapper", ""},
        {"--cacert", ""}, {"--address", ""}, {"--expect", ""}, {"--wait", ""}, {"--upload", ""},
        {"--roots", ""}, {"--max-time", "3600"}, {"--purge", ""}, {"--absent-status", ""}};
    const std::string ALLOW_NO_TIMESTAMP = "--allow-no-timestamp";
    const std::string TIMESTAMPED = "--timestamped";
    const std::string ALLOW_UNVERSIONED = "--allow-unversioned-url";
    const std::string JSON = "--json";
    const std::string DRY_RUN = "--dry-run";
    std::set<std::string> given;
    std::vector<std::string> positional;
    std::vector<long> absent_statuses; // 0 for one that is not a client error status
    LiveOptions live;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return EXIT_OK;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        given.insert(arg);
        if (arg == "--address" && i + 1 < argc && argv[i + 1][0] != 0) {
            live.addresses.push_back(argv[++i]);
            continue;
        }
        if (arg == "--absent-status" && i + 1 < argc) {
            char *end = nullptr;
            long status = strtol(argv[++i], &end, 10);
            absent_statuses.push_back(*end == 0 && status >= 400 && status <= 499 ? status : 0);
            continue;
        }
        if (arg == ALLOW_NO_TIMESTAMP || arg == TIMESTAMPED || arg == ALLOW_UNVERSIONED ||
            arg == JSON || arg == DRY_RUN)
            continue;
        const char *fault = values.count(arg) == 0                  ? "is not an option"
                            : i + 1 == argc || argv[i + 1][0] == 0 ? "needs a value"
                                                                   : nullptr;
        if (fault != nullptr) {
            fprintf(stderr, "tarvik-manifest: %s %s\n", arg.c_str(), fault);
            usage(stderr);
            return EXIT_USAGE;
        }
        values[arg] = argv[++i];
    }

    std::string command = positional.empty() ? "" : positional[0];
    size_t operands = positional.empty() ? 0 : positional.size() - 1;
    bool allow_no_timestamp = given.count(ALLOW_NO_TIMESTAMP) != 0;
    bool timestamped = given.count(TIMESTAMPED) != 0;
    bool allow_unversioned = given.count(ALLOW_UNVERSIONED) != 0;
    bool make = command == "make" && operands == 3 && given.count("--bootstrapper") == 0 &&
                !timestamped;
    // The options of check all concern the setup program.
    bool check = command == "check" &&
                 ((operands == 2 && given.count("-o") == 0 && !allow_no_timestamp &&
                   !timestamped && !allow_unversioned) ||
                  (operands == 1 && given.empty()));
    bool signature = command == "signature" && operands == 1 && given.count("-o") == 0 &&
                     given.count("--bootstrapper") == 0 && !allow_no_timestamp &&
                     !allow_unversioned;
    // These options belong to live and publish alone; live takes a setup
    // program only with --expect; publish needs its upload command.
    bool site_only = given.count("--address") != 0 || given.count("--cacert") != 0 ||
                     given.count("--wait") != 0 || given.count(JSON) != 0;
    bool local_only = given.count("-o") != 0 || allow_no_timestamp || allow_unversioned ||
                      timestamped;
    char *wait_end = nullptr, *max_end = nullptr;
    live.wait_seconds = strtol(values["--wait"].c_str(), &wait_end, 10);
    live.max_seconds = strtol(values["--max-time"].c_str(), &max_end, 10);
    bool wait_valid = *wait_end == 0 && live.wait_seconds >= 0 && live.wait_seconds <= 86400;
    // --max-time bounds a check without a wait; a wait bounds itself.
    bool max_valid = *max_end == 0 && live.max_seconds >= 1 && live.max_seconds <= 86400 &&
                     (given.count("--max-time") == 0 || given.count("--wait") == 0);
    bool live_command = command == "live" &&
                        (operands == 0 || (operands == 1 && given.count("--expect") != 0)) &&
                        !local_only && wait_valid && max_valid;
    Command upload, purge;
    std::string upload_fault = split_command(values["--upload"], &upload);
    std::string purge_fault =
        given.count("--purge") != 0 ? split_command(values["--purge"], &purge) : "";
    bool statuses_valid =
        std::find(absent_statuses.begin(), absent_statuses.end(), 0) == absent_statuses.end();
    bool publish_command = command == "publish" && operands == 2 && !local_only &&
                           given.count("--expect") == 0 && given.count("--max-time") == 0 &&
                           wait_valid && upload_fault.empty() && purge_fault.empty() &&
                           statuses_valid;
    bool publish_only = given.count("--upload") != 0 || given.count("--purge") != 0 ||
                        given.count("--absent-status") != 0 || given.count(DRY_RUN) != 0;
    if (command == "publish" && given.count("--upload") != 0 && !upload_fault.empty())
        fprintf(stderr, "tarvik-manifest: the upload command %s\n", upload_fault.c_str());
    if (command == "publish" && !purge_fault.empty())
        fprintf(stderr, "tarvik-manifest: the purge command %s\n", purge_fault.c_str());
    if (command == "publish" && !statuses_valid)
        fprintf(stderr, "tarvik-manifest: --absent-status takes a status from 400 to 499\n");
    if ((!make && !check && !signature && !live_command && !publish_command) ||
        (site_only && !live_command && !publish_command) || (publish_only && !publish_command) ||
        ((given.count("--expect") != 0 || given.count("--max-time") != 0) && !live_command)) {
        usage(stderr);
        return EXIT_USAGE;
    }
    std::string roots_fault;
    if (given.count("--roots") != 0 &&
        (live.roots = load_roots(values["--roots"], &roots_fault)) == nullptr) {
        fprintf(stderr, "tarvik-manifest: --roots: %s\n", roots_fault.c_str());
        return EXIT_USAGE;
    }
    live.cacert = values["--cacert"];
    live.publisher = values["--publisher"];
    live.bootstrapper = values["--bootstrapper"];
    live.expect = values["--expect"];
    live.json = given.count(JSON) != 0;
    live.expect_setup = live_command && operands == 1 ? positional[1] : "";
    if (publish_command) {
        PublishOptions publish;
        publish.manifest = positional[1];
        publish.setup = positional[2];
        publish.upload = upload;
        publish.purge = purge;
        publish.absent_statuses = absent_statuses;
        publish.dry_run = given.count(DRY_RUN) != 0;
        publish.live = live;
        if (given.count("--wait") == 0)
            publish.live.wait_seconds = DEFAULT_PUBLISH_WAIT;
        return command_publish(publish);
    }
    bool accepted =
        make ? command_make(positional[1], positional[2], positional[3], values["-o"],
                            values["--publisher"], live.roots, !allow_no_timestamp,
                            allow_unversioned)
        : check ? command_check(positional[1], operands == 2 ? &positional[2] : nullptr,
                                values["--publisher"], live.roots, values["--bootstrapper"])
        : signature ? check_signer("", positional[1], values["--publisher"], live.roots,
                                   timestamped, "it is not fit to publish")
                    : command_live(live);
    return accepted ? EXIT_OK : EXIT_REFUSED;
}
