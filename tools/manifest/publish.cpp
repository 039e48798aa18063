// `tarvik-manifest publish` (publish.h), which puts a release on the site
// as a database commits a transaction: at every instant the site and the
// manifest's folder hold enough to finish it or to undo it. Each step runs
// only when the one before it held:
//
// 1. the local checks of `check --bootstrapper`, the upload command's
//    program, and the journal of earlier runs of this manifest;
// 2. what the site serves now, on every address: one manifest everywhere
//    (kept as the rollback point) or none, and at the new setup program's
//    URL nothing, or these very bytes: a published URL never changes;
// 3. the setup program uploaded (unless every address has it), and waited
//    for until every address serves it;
// 4. the manifest uploaded, last;
// 5. `live --expect` until it passes, which is the verdict;
// 6. when it does not, the rollback manifest uploaded again and waited for
//    as `live --expect` waits for it: the previous release, verified.
//
// Until step 4 nothing names the new setup program, so a failure there
// leaves the site serving what it served before. The journal (journal.h)
// records that a run began, with its rollback point, before its first
// upload; that its manifest upload began; and how the run ended. Only it
// tells apart two sites that look alike from outside (the new release on
// one edge, another edge failing): one where the release went live, to be
// left alone, and one where a run was killed in its manifest upload, to be
// finished or undone. So a run of the same command:
// - after a run that ended with 0, or with no journal where every address
//   serves this manifest already, uploads and rolls back nothing: it
//   checks live;
// - after a run that was ended after its manifest upload began, uploads
//   nothing more: it checks live, and rolls back when that fails;
// - otherwise publishes, with the journal's rollback point where a run
//   began and was ended before its manifest upload, and where the site
//   serves no manifest, or this one.
// Killed at any instant and run again, a publish ends as if it had not
// been killed, and no run puts back an older release over one that went
// live. The transfers and the judgement of a setup program are live's
// (live.h); the upload command runs as command.h runs it.

#include "publish.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/config.h"
#include "checks.h"
#include "journal.h"
#include "manifest_json.h"
#include "net/manifest.h"

namespace {

// The lifetimes that caches should give: the manifest's URL never
// changes, a setup program's URL always means the same bytes.
const char *const MANIFEST_CACHE_CONTROL = "no-cache";
const char *const SETUP_CACHE_CONTROL = "public, max-age=31536000, immutable";
// Each run of the upload or purge command may take this long.
const long COMMAND_SECONDS = 600;
const char *const MANIFEST_TYPE = "application/json";
const char *const SETUP_TYPE = "application/octet-stream";
// Bytes that a URL path may hold, so that @PATH@ means one thing to every
// upload tool, shell and site.
const char *const PATH_BYTES = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._~/-";

// Nothing at a URL: a 404 or a 410, or a status that the site answers for
// a file it does not have (--absent-status).
bool absent(const PublishOptions &options, const FetchFindings &fetch)
{
    return fetch.status == 404 || fetch.status == 410 ||
           std::find(options.absent_statuses.begin(), options.absent_statuses.end(),
                     fetch.status) != options.absent_statuses.end();
}

// Everything one publish works with.
struct Publish {
    const PublishOptions *options = nullptr;
    CheckedManifest manifest;         // the new release's
    std::string folder;               // the manifest's folder: "" or ending in a slash
    std::string url;                  // its setup program's URL
    std::string setup_path;           // that URL's path on the site
    Journal journal;                  // what earlier runs recorded; then this run
    std::string rollback;             // the rollback manifest's text; "" for none
    bool served_everywhere = false;   // every address serves this manifest already
    bool setup_everywhere = false;    // every address serves the setup program already
    bool uploaded_setup = false;
    bool recorded = false;            // this run keeps the journal: it records how it ends
    PublishFindings findings;
};

// Adds a step to the record.
StepFindings &begin_step(Publish *publish, const std::string &name)
{
    publish->findings.steps.push_back(StepFindings());
    publish->findings.steps.back().name = name;
    return publish->findings.steps.back();
}

// Ends the last step; in text mode writes it.
void end_step(Publish *publish, const std::string &outcome)
{
    StepFindings &step = publish->findings.steps.back();
    step.outcome = outcome;
    if (!publish->options->live.json)
        write_step(step, (int)publish->findings.steps.size());
}

// Records in the journal that the run is now in `state` (with
// `exit_code` when it ended); a dry run records nothing. Returns "", or
// why it could not.
std::string record(Publish *publish, JournalState state, int exit_code = -1)
{
    std::string fault;
    publish->journal.state = state;
    publish->journal.exit_code = exit_code;
    publish->recorded = true;
    if (!publish->options->dry_run)
        write_journal(publish->journal, &fault);
    return fault;
}

// Uploads `file` to `path` on the site, as `content_type` with the cache
// lifetime `cache_control`, with the upload command, then drops `path`
// from the CDN's caches with the purge command, recording both in `step`;
// a dry run only records them. False, with the refusal in `step`, when the
// upload fails. A purge that fails is reported, and the wait that follows
// decides.
bool upload(Publish *publish, StepFindings *step, const std::string &file,
            const std::string &path, const char *cache_control, const char *content_type)
{
    const PublishOptions &options = *publish->options;
    const Placeholders values = {{"@FILE@", file},
                                 {"@PATH@", path},
                                 {"@KEY@", path.substr(1)},
                                 {"@URL@", "https://" TARVIK_SITE_HOST_TEXT + path},
                                 {"@CACHE_CONTROL@", cache_control},
                                 {"@CONTENT_TYPE@", content_type}};
    Command command = filled(options.upload, values), purge = filled(options.purge, values);
    step->commands.push_back("upload: " + shown_command(command));
    if (!purge.words.empty())
        step->commands.push_back("purge: " + shown_command(purge));
    std::string fault = options.dry_run ? "" : run_command(command, COMMAND_SECONDS);
    if (!fault.empty()) {
        step->refusals.push_back("the upload of " + escaped(file) + " to " + path + " failed: " +
                                 fault);
        return false;
    }
    fault = options.dry_run || purge.words.empty() ? "" : run_command(purge, COMMAND_SECONDS);
    if (!fault.empty())
        step->lines.push_back("the purge of " + path + " failed: " + fault +
                              "; the wait decides");
    return true;
}

// Why the program of the `what` command cannot run, or "".
std::string program_fault(const char *what, const Command &command)
{
    if (command.words.empty() || !find_program(command).empty())
        return "";
    return std::string("the ") + what + " command's program " + escaped(command.words[0]) +
           " is not found" + (command.words[0].find('/') == std::string::npos ? " on PATH" : "");
}

// Step 1: the local checks, what the publish needs of the manifest, and
// the journal of earlier runs (under the folder's lock, unless a dry run).
bool check_locally(Publish *publish)
{
    const PublishOptions &options = *publish->options;
    StepFindings &step = begin_step(publish, "local checks");
    Gathered gathered;
    Gathered *outer = gather(&gathered);
    bool passed = command_check(options.manifest, &options.setup, options.live.publisher,
                                options.live.roots, options.live.bootstrapper, &publish->manifest);
    gather(outer);
    step.lines = gathered.lines;
    step.refusals = gathered.refusals;
    // The rules made the URL begin with the site's download prefix.
    publish->url = publish->manifest.fields.url;
    publish->setup_path = passed ? publish->url.substr(strlen("https://" TARVIK_SITE_HOST_TEXT))
                                 : "";
    std::string fault, sha256 = sha256_of(publish->manifest.text);
    if (passed && publish->setup_path.find_first_not_of(PATH_BYTES) != std::string::npos)
        fault = "the setup program's URL path " + shown(publish->setup_path) +
                " may hold only A-Z a-z 0-9 . _ ~ / -, so that every upload tool reads it alike";
    else if (passed && options.manifest.substr(options.manifest.rfind('/') + 1) == PREVIOUS_NAME)
        fault = std::string("the manifest may not be named ") + PREVIOUS_NAME +
                ": that name keeps the rollback point";
    else if (passed && (fault = program_fault("upload", options.upload)).empty())
        fault = program_fault("purge", options.purge);
    if (passed && fault.empty() && !options.dry_run)
        lock_folder(publish->folder, &fault);
    if (passed && fault.empty() && read_journal(publish->folder, sha256, &publish->journal, &fault))
        step.lines.push_back("journal: " + journal_text(publish->journal));
    if (!fault.empty())
        step.refusals.push_back(fault);
    passed = passed && fault.empty();
    end_step(publish, passed ? "passed" : "refused");
    return passed;
}

// What an address answers where it has nothing, for the report.
std::string nothing_there(const FetchFindings &fetch)
{
    return fetch.status != 200 ? "status " + std::to_string(fetch.status)
                               : "a page (" + (fetch.content_type.empty() ? "no Content-Type"
                                                                          : fetch.content_type) +
                                     "): the site answers a missing file with a page";
}

// True when `fetch` brought no manifest, and nothing else either: a
// status that means nothing there, or a page, which some sites answer for
// a missing file: a 200 whose body is no JSON object, whatever its length.
bool no_manifest(const PublishOptions &options, const FetchFindings &fetch)
{
    return absent(options, fetch) || (fetch.status == 200 && !fetch.json_object);
}

// A refusal's end for a status that may mean "nothing there" on this site.
std::string absent_hint(const FetchFindings &fetch)
{
    std::string status = std::to_string(fetch.status);
    return fetch.status >= 400 && fetch.status <= 499
               ? "; if the site answers " + status + " for a file that it does not have (as S3 "
                 "read without s3:ListBucket answers 403), give --absent-status " + status
               : "";
}

// Step 2 for one address: its manifest into `text` ("" for none), and
// what it serves at the new setup program's URL, asked with a query that
// no user sends. Where a cache keys on the query string, the probe never
// touches what users get; where a cache leaves the query out (CloudFront's
// default policy, Azure CDN), a 404 that it keeps may stand for the plain
// URL for that cache's error lifetime, which the purge and the wait of
// step 3 take care of. A 200 that is no PE image is a page, nothing there;
// a PE image with other bytes refuses the whole publish.
void read_address(Publish *publish, const LiveOptions &live, const std::string &probe,
                  std::string *text, AddressFindings *found)
{
    const PublishOptions &options = *publish->options;
    long long size = publish->manifest.release.expected_size;
    fetch_manifest(live, found->address, text, &found->manifest);
    fetch_url(probe, found->address, live, size, BODY_PROBE, nullptr, nullptr, {}, &found->setup);
    const FetchFindings &manifest = found->manifest, &setup = found->setup;
    bool same = setup.fault.empty() && setup.bytes == size &&
                setup.sha256 == publish->manifest.release.sha256_hex;
    bool other = setup.status == 200 && setup.pe_image && !same;
    if (!manifest.fault.empty() || no_manifest(options, manifest))
        text->clear();
    if (!manifest.fault.empty() && !no_manifest(options, manifest))
        found->refusals.push_back(found->address + ": cannot tell which manifest it serves: " +
                                  manifest.fault + absent_hint(manifest));
    if (other)
        found->refusals.push_back(found->address + ": " + publish->url +
                                  " has other bytes already: a published URL never changes: give "
                                  "this release a new version");
    else if (!same && !absent(options, setup) && setup.status != 200)
        found->refusals.push_back(found->address + ": cannot tell what it serves at " +
                                  publish->url + ": " + setup.fault + absent_hint(setup));
}

// Step 2: what the site serves now.
bool read_site(Publish *publish)
{
    const PublishOptions &options = *publish->options;
    StepFindings &step = begin_step(publish, "the site now");
    std::vector<std::string> manifests;
    step.looked = true;
    resolve_addresses(options.live, &step.site);
    std::string probe = publish->url + "?publish-probe=" + std::to_string(time(nullptr)) + "-" +
                        std::to_string(getpid());
    // Its transfers end as a wait's would.
    LiveOptions live = options.live;
    live.deadline = transfers_deadline(live);
    publish->setup_everywhere = !step.site.addresses.empty();
    for (AddressFindings &found : step.site.addresses) {
        manifests.push_back("");
        read_address(publish, live, probe, &manifests.back(), &found);
        bool there = found.setup.fault.empty();
        publish->setup_everywhere = publish->setup_everywhere && there;
        step.lines.push_back(found.address + ": " +
                             (!manifests.back().empty()
                                  ? "a manifest, sha256 " + found.manifest.sha256
                              : no_manifest(options, found.manifest)
                                  ? "no manifest: " + nothing_there(found.manifest)
                                  : "cannot tell which manifest") +
                             "; at the new setup program's URL: " +
                             (there ? "these bytes" : nothing_there(found.setup)));
        // An address serves a manifest, or none and an empty text.
        const AddressFindings &first = step.site.addresses[0];
        if (manifests.back() != manifests[0])
            step.site.refusals.push_back("the site is not in one state: " + first.address +
                                         " and " + found.address + " serve different manifests");
    }
    step.site.passed = all_refusals(step.site).empty();
    publish->rollback = step.site.passed ? manifests[0] : "";
    publish->served_everywhere = step.site.passed && publish->rollback == publish->manifest.text;
    if (publish->served_everywhere)
        step.lines.push_back("every address serves this manifest already");
    end_step(publish, step.site.passed ? "passed" : "refused");
    return step.site.passed;
}

// Begins the run in the journal, before anything is uploaded, with its
// rollback point kept under a name of its own: the manifest that every
// address serves, unless a run of this manifest began and was ended before
// its manifest upload, or the site serves no manifest, or this one; then
// the one that the journal keeps, if any. False, with a refusal in
// `step`, when it cannot be read or written.
bool begin_run(Publish *publish, StepFindings *step)
{
    std::string fault;
    Journal &journal = publish->journal;
    const std::string &folder = publish->folder;
    bool dry_run = publish->options->dry_run;
    bool from_journal = journal.state == JOURNAL_BEGUN || publish->rollback.empty() ||
                        publish->served_everywhere;
    if (from_journal)
        publish->rollback.clear();
    if (from_journal && !journal.rollback.empty())
        read_rollback(folder, journal, &publish->rollback, &fault);
    if (fault.empty() && !dry_run && publish->rollback.empty()) {
        journal.rollback = journal.rollback_sha256 = "";
        no_rollback(folder, &fault);
    } else if (fault.empty() && !dry_run) {
        keep_rollback(folder, publish->rollback, &journal, &fault);
    }
    if (fault.empty())
        fault = record(publish, JOURNAL_BEGUN);
    if (!publish->rollback.empty())
        publish->findings.rollback =
            !dry_run ? folder + journal.rollback
                     : (from_journal ? folder + journal.rollback : "what the site serves") +
                           " (a dry run: not kept)";
    if (!fault.empty())
        step->refusals.push_back(fault);
    return fault.empty();
}

// What the setup program's wait checks on every address, for repeat_check.
struct SetupWait {
    const Publish *publish;
    LiveFindings *site;
};

bool every_address_serves_setup(void *context, time_t deadline, std::string *first)
{
    SetupWait *waiting = (SetupWait *)context;
    const Publish &publish = *waiting->publish;
    const ReleaseInfo &release = publish.manifest.release;
    LiveOptions live = publish.options->live;
    live.deadline = deadline;
    LiveFindings &site = *waiting->site;
    site = LiveFindings();
    resolve_addresses(live, &site);
    for (AddressFindings &found : site.addresses)
        check_setup(live, found.address, publish.url, release.expected_size, release.sha256_hex,
                    &found);
    std::vector<std::string> refusals = all_refusals(site);
    site.passed = refusals.empty();
    *first = refusals.empty() ? "" : refusals.front();
    return site.passed;
}

// After a wait that ran out: where an address still answers nothing at
// the manifest's path (when `manifest` is true) or the setup program's,
// or an older manifest than `expected`, a cache may be keeping it, and the
// refusal in `step` says so, with its lifetime when its headers give one,
// and what helps.
void note_caches(const Publish &publish, const LiveFindings &site, bool manifest,
                 const std::string &expected, StepFindings *step)
{
    std::string expected_sha256 = manifest ? sha256_of(expected) : "";
    std::string path = manifest ? MANIFEST_PATH : publish.setup_path;
    for (const AddressFindings &found : site.addresses) {
        const FetchFindings &fetch = manifest ? found.manifest : found.setup;
        bool nothing = manifest ? no_manifest(*publish.options, fetch)
                                : absent(*publish.options, fetch);
        bool older = manifest && !nothing && fetch.fault.empty() && fetch.status == 200 &&
                     fetch.sha256 != expected_sha256;
        long lifetime = cache_lifetime(fetch);
        if (nothing || older)
            step->refusals.push_back(
                found.address + ": when the wait ran out it still served " +
                (older ? "an older manifest" : "nothing (" + nothing_there(fetch) + ")") + " at " +
                path + ": a cache may be keeping it" +
                (lifetime > 0 ? ", for up to " + std::to_string(lifetime) + " s by its headers"
                              : "") +
                "; drop the path from the caches after each upload with --purge, or give a "
                "longer --wait");
    }
}

// Waits until every address serves the manifest `text` and its release,
// as live --expect waits, recording what it found in `step`.
bool wait_for_manifest(Publish *publish, const std::string &text, StepFindings *step)
{
    step->looked = true;
    bool passed = live_wait(publish->options->live, text, &step->site);
    if (!passed)
        note_caches(*publish, step->site, true, text, step);
    return passed;
}

// Step 3: the setup program on every address, after the run began in the
// journal.
bool put_setup(Publish *publish)
{
    StepFindings &step = begin_step(publish, "the setup program");
    const PublishOptions &options = *publish->options;
    bool passed = begin_run(publish, &step);
    if (passed && publish->setup_everywhere) {
        step.lines.push_back("every address serves it already: not uploaded again");
    } else if (passed) {
        passed = upload(publish, &step, options.setup, publish->setup_path, SETUP_CACHE_CONTROL,
                        SETUP_TYPE);
        publish->uploaded_setup = passed && !options.dry_run;
    }
    if (passed && !options.dry_run) {
        SetupWait waiting = {publish, &step.site};
        step.looked = true;
        passed = repeat_check(options.live, every_address_serves_setup, &waiting,
                              &step.site.rounds);
        if (!passed)
            note_caches(*publish, step.site, false, "", &step);
    }
    end_step(publish, !passed ? "refused" : options.dry_run ? "planned" : "passed");
    return passed;
}

// Step 4: the manifest, last, once the journal says that its upload
// begins. Returns whether it began; `*uploaded` says whether the upload
// command succeeded (one that failed may still have reached the site).
bool put_manifest(Publish *publish, bool *uploaded)
{
    const PublishOptions &options = *publish->options;
    StepFindings &step = begin_step(publish, "the manifest");
    std::string fault = record(publish, JOURNAL_UPLOADING_MANIFEST);
    if (!fault.empty())
        step.refusals.push_back(fault);
    *uploaded = fault.empty() && upload(publish, &step, options.manifest, MANIFEST_PATH,
                                        MANIFEST_CACHE_CONTROL, MANIFEST_TYPE);
    end_step(publish, !*uploaded ? "refused" : options.dry_run ? "planned" : "uploaded");
    return fault.empty();
}

// Step 5: `live --expect` with the same addresses, repeated until it
// passes or the wait is up; a dry run plans it. `why` heads its lines.
bool check_live(Publish *publish, const std::string &why)
{
    const PublishOptions &options = *publish->options;
    StepFindings &step = begin_step(publish, "live");
    if (!why.empty())
        step.lines.push_back(why);
    bool passed = options.dry_run || wait_for_manifest(publish, publish->manifest.text, &step);
    end_step(publish, options.dry_run ? "planned" : passed ? "passed" : "refused");
    return passed;
}

// Step 6: the rollback manifest put back, and waited for as the release
// that it names.
PublishResult roll_back(Publish *publish)
{
    StepFindings &step = begin_step(publish, "rollback");
    PublishFindings &findings = publish->findings;
    const PublishOptions &options = *publish->options;
    if (publish->rollback.empty()) {
        findings.verdict = "the release did not go live on every address, and there is no "
                           "earlier release to put back: the site may serve a release that does "
                           "not pass";
        end_step(publish, "none");
        return PUBLISH_NEEDS_A_PERSON;
    }
    bool passed = upload(publish, &step, publish->folder + publish->journal.rollback,
                         MANIFEST_PATH, MANIFEST_CACHE_CONTROL, MANIFEST_TYPE);
    if (passed && !options.dry_run)
        passed = wait_for_manifest(publish, publish->rollback, &step);
    end_step(publish, options.dry_run ? "planned" : passed ? "passed" : "refused");
    findings.verdict = passed ? "the release did not go live; the previous release is live again "
                                "on every address"
                              : "THE RELEASE DID NOT GO LIVE, AND THE PREVIOUS RELEASE IS NOT LIVE "
                                "AGAIN on every address: the site may serve a release that does "
                                "not pass";
    return passed ? PUBLISH_NOT_LIVE : PUBLISH_NEEDS_A_PERSON;
}

// The verdict of a run that checked live and passed.
PublishResult went_live(Publish *publish, const std::string &how)
{
    publish->findings.verdict =
        publish->options->dry_run
            ? "dry run: the plan holds, and nothing was uploaded"
            : "the release " + std::string(publish->manifest.fields.version) +
                  " is live on every address " + VANTAGE_POINT + how;
    return PUBLISH_LIVE;
}

// A re-run of a release that went live, or that every address serves
// already: nothing is uploaded and nothing rolled back.
PublishResult check_again(Publish *publish)
{
    publish->findings.rollback = "none: nothing is uploaded";
    if (check_live(publish, "this manifest was published already: nothing is uploaded or "
                            "rolled back"))
        return went_live(publish, "; it was published already, and nothing was uploaded");
    publish->findings.verdict = "the release " + std::string(publish->manifest.fields.version) +
                                " was published already, and it does not pass on every address "
                                "now; nothing was uploaded or rolled back";
    return PUBLISH_NOT_LIVE;
}

// A re-run of a run that was ended after its manifest upload began:
// nothing more is uploaded; the release is live, or the rollback point
// goes back.
PublishResult finish(Publish *publish)
{
    std::string fault;
    publish->recorded = true;
    bool readable = publish->journal.rollback.empty() ||
                    read_rollback(publish->folder, publish->journal, &publish->rollback, &fault);
    if (check_live(publish, "an earlier run was ended after its manifest upload began: nothing "
                            "more is uploaded"))
        return went_live(publish, "");
    if (readable)
        return roll_back(publish);
    publish->findings.verdict = "the release did not go live, and " + fault +
                                ": the site may serve a release that does not pass";
    return PUBLISH_NEEDS_A_PERSON;
}

// Steps 2 to 6 of a run that publishes, or of the re-run of a release that
// went live or that every address serves already.
PublishResult publish_release(Publish *publish)
{
    const Journal &journal = publish->journal;
    bool uploaded = false;
    if (!read_site(publish))
        return PUBLISH_NOT_LIVE;
    if ((journal.state == JOURNAL_ENDED && journal.exit_code == PUBLISH_LIVE) ||
        (journal.state == JOURNAL_NONE && publish->served_everywhere))
        return check_again(publish);
    if (!put_setup(publish) || !put_manifest(publish, &uploaded))
        return PUBLISH_NOT_LIVE;
    if (uploaded && check_live(publish, ""))
        return went_live(publish, "");
    return roll_back(publish);
}

PublishResult run_steps(Publish *publish)
{
    PublishResult result = !check_locally(publish) ? PUBLISH_NOT_LIVE
                           : publish->journal.state == JOURNAL_UPLOADING_MANIFEST
                               ? finish(publish)
                               : publish_release(publish);
    if (result == PUBLISH_NOT_LIVE && publish->findings.verdict.empty())
        publish->findings.verdict =
            std::string("nothing was published: the site serves what it served before") +
            (publish->uploaded_setup ? ", and the new setup program at a URL that no manifest "
                                       "names"
                                     : "");
    // How a run that this one recorded, or took up, ended.
    std::string fault = publish->recorded ? record(publish, JOURNAL_ENDED, result) : "";
    if (!fault.empty())
        publish->findings.verdict += " (and the journal cannot say so: " + fault + ")";
    return result;
}

} // namespace

PublishResult command_publish(const PublishOptions &options)
{
    Publish publish;
    publish.options = &options;
    publish.folder = options.manifest.substr(0, options.manifest.rfind('/') + 1);
    // A signal that ends the tool ends the upload command's group too.
    end_commands_with_the_tool();
    PublishResult result = run_steps(&publish);
    publish.findings.exit_code = result;
    if (options.live.json)
        write_publish_json(publish.findings);
    else
        write_verdict(publish.findings);
    return result;
}
