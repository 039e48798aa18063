// `tarvik-manifest publish` (publish.h). Each step runs only when the one
// before it held:
//
// 1. the local checks of `check --bootstrapper`;
// 2. what the site serves now, on every address: one manifest everywhere
//    (kept as the rollback point) or none, and at the new setup program's
//    URL nothing, or these very bytes: a published URL never changes;
// 3. the setup program uploaded (unless every address has it), and waited
//    for until every address serves it;
// 4. the manifest uploaded, last;
// 5. `live --expect` until it passes, which is the verdict;
// 6. when it does not, the rollback manifest uploaded again and waited for.
//
// Until step 4 nothing names the new setup program, so a failure there
// leaves the site serving what it served before. Every check is live's
// (live.h); nothing is fetched or judged here in a way of its own.

#include "publish.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/config.h"
#include "checks.h"
#include "manifest_json.h"
#include "net/manifest.h"

namespace {

const char *const MANIFEST_PATH = "/windows-setup.json";
const char *const PREVIOUS_NAME = "windows-setup.previous.json";
// The lifetimes that caches should give: the manifest's URL never
// changes, a setup program's URL always means the same bytes.
const char *const MANIFEST_CACHE_CONTROL = "no-cache";
const char *const SETUP_CACHE_CONTROL = "public, max-age=31536000, immutable";
// Each run of the upload command may take this long.
const long UPLOAD_SECONDS = 600;
// Bytes that a URL path may hold, so that @PATH@ means one thing to every
// upload tool, shell and site.
const char *const PATH_BYTES = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._~/-";

bool absent(const FetchFindings &fetch)
{
    return fetch.status == 404 || fetch.status == 410;
}

// `word` as a shell would read it back: as it is when it holds only bytes
// that need no quoting, otherwise in single quotes; escaped for the report.
std::string shown_word(const std::string &word)
{
    if (!word.empty() && word.find_first_not_of(PATH_BYTES + std::string("@:=,+%")) ==
                             std::string::npos)
        return escaped(word);
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return escaped(quoted + "'");
}

// Everything one publish works with.
struct Publish {
    const PublishOptions *options = nullptr;
    std::vector<std::string> command; // the upload command's words
    std::string manifest;             // the new manifest's text
    std::string version, url, sha256;
    long long size = 0;
    std::string setup_path;           // its URL's path on the site
    std::string previous_path;        // where the rollback point is kept
    std::string rollback;             // the rollback manifest's text; "" for none
    bool setup_everywhere = false;    // every address serves the setup program already
    bool uploaded_setup = false;
    PublishFindings findings;
};

// Adds a step to the record; in text mode the last one is written once it
// is done.
StepFindings &begin_step(Publish *publish, const std::string &name)
{
    publish->findings.steps.push_back(StepFindings());
    publish->findings.steps.back().name = name;
    return publish->findings.steps.back();
}

void end_step(Publish *publish, const std::string &outcome)
{
    StepFindings &step = publish->findings.steps.back();
    step.outcome = outcome;
    if (!publish->options->live.json)
        write_step(step, (int)publish->findings.steps.size());
}

// Runs `words` with no shell, in a process group of its own, its output
// going to standard error, for at most UPLOAD_SECONDS; then the whole
// group is ended. Returns "" when it exited with 0, else what happened.
std::string run_command(const std::vector<std::string> &words)
{
    std::vector<char *> argv;
    for (const std::string &word : words)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child < 0)
        return "cannot start it: " + std::string(strerror(errno));
    if (child == 0) {
        setpgid(0, 0);
        dup2(2, 1);
        execvp(argv[0], argv.data());
        fprintf(stderr, "tarvik-manifest: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    setpgid(child, child);
    int status = 0;
    pid_t done = 0;
    for (time_t deadline = time(nullptr) + UPLOAD_SECONDS;
         (done = waitpid(child, &status, WNOHANG)) == 0 && time(nullptr) < deadline;)
        usleep(100000);
    if (done == 0) {
        kill(-child, SIGTERM);
        sleep(2);
        kill(-child, SIGKILL);
        waitpid(child, &status, 0);
        return "it ran out of its " + std::to_string(UPLOAD_SECONDS) + " s and was ended";
    }
    if (done < 0)
        return "cannot wait for it: " + std::string(strerror(errno));
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return "";
    return WIFEXITED(status) ? "it exited with " + std::to_string(WEXITSTATUS(status))
                             : "it was ended by signal " + std::to_string(WTERMSIG(status));
}

// Uploads `file` to `path` on the site with the upload command, recording
// the command in `step`; in a dry run only records it. False, with the
// refusal in `step`, when the command fails.
bool upload(Publish *publish, StepFindings *step, const std::string &file,
            const std::string &path, const char *cache_control)
{
    std::vector<std::string> words;
    std::string shown;
    for (std::string word : publish->command) {
        for (const auto &placeholder : {std::make_pair("@FILE@", file), std::make_pair("@PATH@", path),
                                        std::make_pair("@CACHE_CONTROL@", std::string(cache_control))})
            for (size_t at = word.find(placeholder.first); at != std::string::npos;
                 at = word.find(placeholder.first, at + placeholder.second.size()))
                word.replace(at, strlen(placeholder.first), placeholder.second);
        shown += (shown.empty() ? "" : " ") + shown_word(word);
        words.push_back(word);
    }
    step->commands.push_back(shown);
    if (publish->options->dry_run)
        return true;
    std::string fault = run_command(words);
    if (!fault.empty())
        step->refusals.push_back("the upload of " + escaped(file) + " to " + path + " failed: " +
                                 fault);
    return fault.empty();
}

// Step 1: the local checks, and what the publish needs of the manifest.
bool check_locally(Publish *publish)
{
    const PublishOptions &options = *publish->options;
    StepFindings &step = begin_step(publish, "local checks");
    Gathered gathered;
    FileFacts facts;
    ManifestFields fields = {};
    ReleaseInfo release = {};
    gather(&gathered);
    bool passed = command_check(options.manifest, &options.setup, options.live.publisher,
                                options.live.bootstrapper) &&
                  stat_file(options.manifest, &facts) &&
                  read_file(options.manifest, &facts, &publish->manifest) &&
                  passes_rules(publish->manifest, &fields, &release);
    gather(nullptr);
    step.lines = gathered.lines;
    step.refusals = gathered.refusals;
    if (passed) {
        publish->version = fields.version;
        publish->url = fields.url;
        publish->sha256 = release.sha256_hex;
        publish->size = release.expected_size;
        publish->setup_path = publish->url.substr(strlen("https://" TARVIK_SITE_HOST_TEXT));
        if (publish->setup_path.find_first_not_of(PATH_BYTES) != std::string::npos) {
            step.refusals.push_back("the setup program's URL path " + shown(publish->setup_path) +
                                    " may hold only A-Z a-z 0-9 . _ ~ / -, so that every "
                                    "upload tool reads it alike");
            passed = false;
        }
    }
    end_step(publish, passed ? "passed" : "refused");
    return passed;
}

// Step 2 for one address: its manifest, and what it serves at the new
// setup program's URL, asked with a query that no user sends, so that a
// cache that keeps a 404 keeps it under that query only.
void read_address(Publish *publish, const std::string &probe, std::string *text,
                  AddressFindings *found)
{
    const LiveOptions &live = publish->options->live;
    fetch_url("https://" TARVIK_SITE_HOST_TEXT + std::string(MANIFEST_PATH), found->address, live,
              MANIFEST_CAPACITY - 1, false, text, nullptr, {}, &found->manifest);
    fetch_url(probe, found->address, live, publish->size, true, nullptr, nullptr, {},
              &found->setup);
    const FetchFindings &manifest = found->manifest, &setup = found->setup;
    bool other = setup.status == 200 &&
                 (setup.wrong_size ||
                  (setup.fault.empty() && (setup.bytes != publish->size ||
                                           setup.sha256 != publish->sha256)));
    if (!manifest.fault.empty() && !absent(manifest))
        found->refusals.push_back(found->address + ": cannot tell which manifest it serves: " +
                                  manifest.fault);
    if (other)
        found->refusals.push_back(found->address + ": " + publish->url +
                                  " has other bytes already: a published URL never changes: give "
                                  "this release a new version");
    else if (!setup.fault.empty() && !absent(setup))
        found->refusals.push_back(found->address + ": cannot tell what it serves at " +
                                  publish->url + ": " + setup.fault);
}

// Step 2: what the site serves now. Keeps the rollback point.
bool read_site(Publish *publish)
{
    const PublishOptions &options = *publish->options;
    StepFindings &step = begin_step(publish, "the site now");
    std::vector<std::string> addresses, manifests;
    step.looked = true;
    resolve_addresses(options.live, &addresses, &step.site.refusals);
    std::string probe = publish->url + "?publish-probe=" + std::to_string(time(nullptr)) + "-" +
                        std::to_string(getpid());
    publish->setup_everywhere = !addresses.empty();
    for (const std::string &address : addresses) {
        step.site.addresses.push_back(AddressFindings());
        AddressFindings &found = step.site.addresses.back();
        found.address = address;
        manifests.push_back("");
        read_address(publish, probe, &manifests.back(), &found);
        publish->setup_everywhere = publish->setup_everywhere && found.setup.fault.empty();
        step.lines.push_back(address + ": " +
                             (found.manifest.fault.empty() ? "a manifest, sha256 " +
                                                                 found.manifest.sha256
                                                           : "no manifest") +
                             "; at the new setup program's URL: " +
                             (found.setup.fault.empty() ? "these bytes" : "nothing"));
        // Each address serves a manifest, or none with an empty text.
        if (found.manifest.fault.empty() == step.site.addresses[0].manifest.fault.empty() &&
            manifests.back() == manifests[0])
            continue;
        step.site.refusals.push_back("the site is not in one state: " +
                                     step.site.addresses[0].address + " and " + address +
                                     " serve different manifests");
    }
    step.site.passed = all_refusals(step.site).empty();
    if (!step.site.passed) {
        end_step(publish, "refused");
        return false;
    }
    // The rollback point: what the site serves now. A re-run that finds
    // the new manifest served already keeps the one that it has.
    std::string current = manifests.empty() ? "" : manifests[0];
    FileFacts facts;
    Gathered ignored;
    if (current == publish->manifest) {
        gather(&ignored);
        if (stat_file(publish->previous_path, &facts))
            read_file(publish->previous_path, &facts, &publish->rollback);
        gather(nullptr);
        step.lines.push_back("the site serves this manifest already");
    } else if (!options.dry_run && !current.empty() &&
               !write_file(publish->previous_path, current)) {
        step.refusals.push_back("cannot keep the rollback point in " + publish->previous_path);
        end_step(publish, "refused");
        return false;
    } else {
        publish->rollback = current;
        // A first release has no rollback point; an older file would name
        // a release that the site does not serve.
        if (current.empty() && !options.dry_run)
            std::remove(publish->previous_path.c_str());
    }
    if (!publish->rollback.empty())
        publish->findings.rollback = publish->previous_path;
    end_step(publish, "passed");
    return true;
}

// What a waiting step checks on every address, for repeat_check.
struct Waiting {
    Publish *publish;
    StepFindings *step;
    const std::string *manifest; // the manifest that must be served; null: the setup program
};

bool every_address_serves(void *context, std::string *first)
{
    Waiting *waiting = (Waiting *)context;
    Publish *publish = waiting->publish;
    LiveFindings &site = waiting->step->site;
    std::vector<std::string> addresses;
    site = LiveFindings();
    resolve_addresses(publish->options->live, &addresses, &site.refusals);
    for (const std::string &address : addresses) {
        site.addresses.push_back(AddressFindings());
        AddressFindings &found = site.addresses.back();
        found.address = address;
        std::string text;
        if (waiting->manifest == nullptr) {
            check_setup(publish->options->live, address, publish->url, publish->size,
                        publish->sha256, &found);
            continue;
        }
        fetch_url("https://" TARVIK_SITE_HOST_TEXT + std::string(MANIFEST_PATH), address,
                  publish->options->live, MANIFEST_CAPACITY - 1, false, &text, nullptr, {},
                  &found.manifest);
        if (!found.manifest.fault.empty() || text != *waiting->manifest)
            found.refusals.push_back(address + ": the manifest is not the one put back" +
                                     (found.manifest.fault.empty() ? ""
                                                                   : ": " + found.manifest.fault));
    }
    std::vector<std::string> refusals = all_refusals(site);
    site.passed = refusals.empty();
    *first = refusals.empty() ? "" : refusals.front();
    return site.passed;
}

// Waits for `waiting` as long as --wait allows.
bool wait_for_site(Waiting *waiting)
{
    waiting->step->looked = true;
    return repeat_check(waiting->publish->options->live.wait_seconds,
                        waiting->publish->options->live.json, every_address_serves, waiting,
                        &waiting->step->site.rounds);
}

// Step 3: the setup program on every address.
bool put_setup(Publish *publish)
{
    StepFindings &step = begin_step(publish, "the setup program");
    if (publish->setup_everywhere) {
        step.lines.push_back("every address serves it already: not uploaded again");
    } else if (upload(publish, &step, publish->options->setup, publish->setup_path,
                      SETUP_CACHE_CONTROL)) {
        publish->uploaded_setup = !publish->options->dry_run;
    } else {
        end_step(publish, "refused");
        return false;
    }
    Waiting waiting = {publish, &step, nullptr};
    bool passed = publish->options->dry_run || wait_for_site(&waiting);
    end_step(publish, publish->options->dry_run ? "planned" : passed ? "passed" : "refused");
    return passed;
}

// Steps 4 and 5: the manifest, last, and live's verdict.
bool put_manifest(Publish *publish)
{
    StepFindings &step = begin_step(publish, "the manifest");
    bool uploaded = upload(publish, &step, publish->options->manifest, MANIFEST_PATH,
                           MANIFEST_CACHE_CONTROL);
    end_step(publish, publish->options->dry_run ? "planned" : uploaded ? "uploaded" : "refused");
    if (publish->options->dry_run || !uploaded)
        return uploaded;
    StepFindings &live = begin_step(publish, "live");
    live.looked = true;
    bool passed = live_wait(publish->options->live, publish->manifest, &live.site);
    end_step(publish, passed ? "passed" : "refused");
    return passed;
}

// Step 6: the rollback manifest put back, and waited for.
PublishResult roll_back(Publish *publish)
{
    StepFindings &step = begin_step(publish, "rollback");
    PublishFindings &findings = publish->findings;
    if (publish->rollback.empty()) {
        findings.verdict = "the site now serves a release that does not pass, and there is no "
                           "earlier release to put back";
        end_step(publish, "none");
        return PUBLISH_NEEDS_A_PERSON;
    }
    Waiting waiting = {publish, &step, &publish->rollback};
    bool passed = upload(publish, &step, publish->previous_path, MANIFEST_PATH,
                         MANIFEST_CACHE_CONTROL) &&
                  wait_for_site(&waiting);
    end_step(publish, passed ? "passed" : "refused");
    findings.verdict = passed ? "the release did not go live; the previous release is live again"
                              : "THE RELEASE DID NOT GO LIVE, AND THE PREVIOUS RELEASE IS NOT LIVE "
                                "AGAIN on every address: the site may serve a release that does "
                                "not pass";
    return passed ? PUBLISH_NOT_LIVE : PUBLISH_NEEDS_A_PERSON;
}

PublishResult run_steps(Publish *publish)
{
    PublishFindings &findings = publish->findings;
    if (!check_locally(publish) || !read_site(publish) || !put_setup(publish)) {
        findings.verdict = std::string("nothing was published: the site serves what it served "
                                       "before") +
                           (publish->uploaded_setup ? ", and the new setup program at a URL that "
                                                      "no manifest names"
                                                    : "");
        return PUBLISH_NOT_LIVE;
    }
    if (put_manifest(publish)) {
        findings.verdict = publish->options->dry_run
                               ? "dry run: the plan holds, and nothing was uploaded"
                               : "the release " + publish->version + " is live on every address";
        return PUBLISH_LIVE;
    }
    return roll_back(publish);
}

} // namespace

bool split_command(const std::string &command, std::vector<std::string> *words)
{
    std::string word;
    bool in_word = false;
    for (size_t i = 0; i < command.size(); i++) {
        char c = command[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (in_word)
                words->push_back(word);
            word.clear();
            in_word = false;
            continue;
        }
        in_word = true;
        if (c == '\'') {
            size_t end = command.find('\'', i + 1);
            if (end == std::string::npos)
                return false;
            word += command.substr(i + 1, end - i - 1);
            i = end;
        } else if (c == '"') {
            for (i++; i < command.size() && command[i] != '"'; i++) {
                if (command[i] == '\\' && i + 1 < command.size() &&
                    (command[i + 1] == '"' || command[i + 1] == '\\'))
                    i++;
                word += command[i];
            }
            if (i == command.size())
                return false;
        } else if (c == '\\') {
            if (++i == command.size())
                return false;
            word += command[i];
        } else {
            word += c;
        }
    }
    if (in_word)
        words->push_back(word);
    return true;
}

PublishResult command_publish(const PublishOptions &options)
{
    Publish publish;
    publish.options = &options;
    split_command(options.upload, &publish.command);
    size_t slash = options.manifest.rfind('/');
    publish.previous_path =
        (slash == std::string::npos ? "" : options.manifest.substr(0, slash + 1)) + PREVIOUS_NAME;
    PublishResult result = run_steps(&publish);
    publish.findings.exit_code = result;
    if (options.live.json)
        write_publish_json(publish.findings);
    else
        write_verdict(publish.findings);
    return result;
}
