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
// leaves the site serving what it served before. The transfers and the
// judgement of a setup program are live's (live.h).

#include "publish.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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

// Nothing at a URL: a 404, or a 410.
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
    CheckedManifest manifest;         // the new release's
    std::string url;                  // its setup program's URL
    std::string setup_path;           // that URL's path on the site
    std::string previous_path;        // where the rollback point is kept
    std::string rollback;             // the rollback manifest's text; "" for none
    bool setup_everywhere = false;    // every address serves the setup program already
    bool uploaded_setup = false;
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

// The process group of the running upload command, which a signal that
// ends the tool ends too.
volatile pid_t running_group;

void end_running_group(int signal_number)
{
    if (running_group > 0)
        kill(-running_group, SIGKILL);
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// Runs `words` with no shell, in a process group of its own, reading
// nothing (a prompt would stop it) and writing to standard error, for at
// most UPLOAD_SECONDS; then, or when it stops, its whole group is ended.
// Returns "" when it exited with 0, else what happened.
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
        int nothing = open("/dev/null", O_RDONLY);
        if (nothing >= 0)
            dup2(nothing, 0);
        dup2(2, 1);
        execvp(argv[0], argv.data());
        fprintf(stderr, "tarvik-manifest: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    setpgid(child, child);
    running_group = child;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        signal(signal_number, end_running_group);
    int status = 0;
    pid_t done = 0;
    for (time_t deadline = time(nullptr) + UPLOAD_SECONDS;
         (done = waitpid(child, &status, WNOHANG | WUNTRACED)) == 0 && time(nullptr) < deadline;)
        usleep(100000);
    std::string fault;
    if (done == 0 || (done > 0 && WIFSTOPPED(status))) {
        fault = done == 0 ? "it ran out of its " + std::to_string(UPLOAD_SECONDS) + " s"
                          : "it stopped, as if it waited for the terminal";
        fault += ", and was ended";
        kill(-child, SIGKILL);
        waitpid(child, &status, 0);
    } else if (done < 0) {
        fault = "cannot wait for it: " + std::string(strerror(errno));
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fault = WIFEXITED(status) ? "it exited with " + std::to_string(WEXITSTATUS(status))
                                  : "it was ended by signal " + std::to_string(WTERMSIG(status));
    }
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        signal(signal_number, SIG_DFL);
    running_group = 0;
    return fault;
}

// Uploads `file` to `path` on the site with the upload command, recording
// the command in `step`; in a dry run only records it. False, with the
// refusal in `step`, when the command fails.
bool upload(Publish *publish, StepFindings *step, const std::string &file,
            const std::string &path, const char *cache_control)
{
    const std::pair<const char *, std::string> PLACEHOLDERS[] = {
        {"@FILE@", file}, {"@PATH@", path}, {"@CACHE_CONTROL@", cache_control}};
    std::vector<std::string> words;
    std::string shown;
    for (const std::string &given : publish->options->upload) {
        // One pass over the word: what a placeholder brings is never read
        // for placeholders again.
        std::string word;
        for (size_t at = 0; at < given.size();) {
            const std::pair<const char *, std::string> *found = nullptr;
            for (const auto &placeholder : PLACEHOLDERS)
                if (given.compare(at, strlen(placeholder.first), placeholder.first) == 0)
                    found = &placeholder;
            word += found == nullptr ? given.substr(at, 1) : found->second;
            at += found == nullptr ? 1 : strlen(found->first);
        }
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
    if (passed && publish->setup_path.find_first_not_of(PATH_BYTES) != std::string::npos) {
        step.refusals.push_back("the setup program's URL path " + shown(publish->setup_path) +
                                " may hold only A-Z a-z 0-9 . _ ~ / -, so that every upload "
                                "tool reads it alike");
        passed = false;
    }
    if (passed && options.manifest.substr(options.manifest.rfind('/') + 1) == PREVIOUS_NAME) {
        step.refusals.push_back(std::string("the manifest may not be named ") + PREVIOUS_NAME +
                                ": that name keeps the rollback point");
        passed = false;
    }
    end_step(publish, passed ? "passed" : "refused");
    return passed;
}

// The rollback point that an earlier run of this publish kept: the file,
// when it was written after the manifest was (by a run that read the site
// for this manifest) and passes the rules; "" otherwise. A file from an
// earlier release would put back what the site did not serve.
std::string kept_rollback(const Publish &publish)
{
    struct stat manifest, previous;
    CheckedManifest kept;
    Gathered ignored;
    if (stat(publish.options->manifest.c_str(), &manifest) != 0 ||
        stat(publish.previous_path.c_str(), &previous) != 0 ||
        previous.st_mtim.tv_sec < manifest.st_mtim.tv_sec ||
        (previous.st_mtim.tv_sec == manifest.st_mtim.tv_sec &&
         previous.st_mtim.tv_nsec <= manifest.st_mtim.tv_nsec))
        return "";
    Gathered *outer = gather(&ignored);
    bool good = read_manifest(publish.previous_path, &kept);
    gather(outer);
    return good ? kept.text : "";
}

// Step 2 for one address: its manifest into `text`, and what it serves at
// the new setup program's URL, asked with a query that no user sends, so
// that a cache that keeps a 404 keeps it under that query only.
void read_address(Publish *publish, const std::string &probe, std::string *text,
                  AddressFindings *found)
{
    const LiveOptions &live = publish->options->live;
    long long size = publish->manifest.release.expected_size;
    fetch_manifest(live, found->address, text, &found->manifest);
    fetch_url(probe, found->address, live, size, true, nullptr, nullptr, {}, &found->setup);
    const FetchFindings &manifest = found->manifest, &setup = found->setup;
    bool other = setup.status == 200 &&
                 (setup.wrong_size ||
                  (setup.fault.empty() && (setup.bytes != size ||
                                           setup.sha256 != publish->manifest.release.sha256_hex)));
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
    std::vector<std::string> manifests;
    step.looked = true;
    resolve_addresses(options.live, &step.site);
    std::string probe = publish->url + "?publish-probe=" + std::to_string(time(nullptr)) + "-" +
                        std::to_string(getpid());
    publish->setup_everywhere = !step.site.addresses.empty();
    for (AddressFindings &found : step.site.addresses) {
        manifests.push_back("");
        read_address(publish, probe, &manifests.back(), &found);
        publish->setup_everywhere = publish->setup_everywhere && found.setup.fault.empty();
        step.lines.push_back(found.address + ": " +
                             (found.manifest.fault.empty() ? "a manifest, sha256 " +
                                                                 found.manifest.sha256
                                                           : "no manifest") +
                             "; at the new setup program's URL: " +
                             (found.setup.fault.empty() ? "these bytes" : "nothing"));
        // An address serves a manifest, or none and an empty text.
        const AddressFindings &first = step.site.addresses[0];
        if (found.manifest.fault.empty() != first.manifest.fault.empty() ||
            manifests.back() != manifests[0])
            step.site.refusals.push_back("the site is not in one state: " + first.address +
                                         " and " + found.address + " serve different manifests");
    }
    step.site.passed = all_refusals(step.site).empty();
    if (!step.site.passed) {
        end_step(publish, "refused");
        return false;
    }
    // The rollback point is what the site serves now; a re-run that finds
    // the new manifest served already takes the one that its first run kept.
    std::string current = manifests[0];
    if (current == publish->manifest.text) {
        step.lines.push_back("the site serves this manifest already");
        publish->rollback = kept_rollback(*publish);
    } else if (options.dry_run) {
        publish->rollback = current;
    } else if (!current.empty() && !write_file(publish->previous_path, current)) {
        step.refusals.push_back("cannot keep the rollback point in " + publish->previous_path);
        end_step(publish, "refused");
        return false;
    } else {
        publish->rollback = current;
        // A first release has no rollback point: an older file would name
        // a release that the site does not serve.
        if (current.empty())
            std::remove(publish->previous_path.c_str());
    }
    if (!publish->rollback.empty())
        publish->findings.rollback =
            publish->previous_path + (options.dry_run ? " (a dry run: not written)" : "");
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
    const Publish &publish = *waiting->publish;
    const LiveOptions &live = publish.options->live;
    LiveFindings &site = waiting->step->site;
    site = LiveFindings();
    resolve_addresses(live, &site);
    for (AddressFindings &found : site.addresses) {
        std::string text;
        if (waiting->manifest == nullptr) {
            check_setup(live, found.address, publish.url, publish.manifest.release.expected_size,
                        publish.manifest.release.sha256_hex, &found);
            continue;
        }
        fetch_manifest(live, found.address, &text, &found.manifest);
        if (!found.manifest.fault.empty() || text != *waiting->manifest)
            found.refusals.push_back(found.address + ": the manifest is not the one put back" +
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
    const LiveOptions &live = waiting->publish->options->live;
    int rounds = 0;
    bool passed = repeat_check(live.wait_seconds, live.json, every_address_serves, waiting, &rounds);
    waiting->step->looked = true;
    waiting->step->site.rounds = rounds;
    return passed;
}

// Step 3: the setup program on every address.
bool put_setup(Publish *publish)
{
    StepFindings &step = begin_step(publish, "the setup program");
    bool dry_run = publish->options->dry_run;
    if (publish->setup_everywhere) {
        step.lines.push_back("every address serves it already: not uploaded again");
    } else if (upload(publish, &step, publish->options->setup, publish->setup_path,
                      SETUP_CACHE_CONTROL)) {
        publish->uploaded_setup = !dry_run;
    } else {
        end_step(publish, "refused");
        return false;
    }
    Waiting waiting = {publish, &step, nullptr};
    bool passed = dry_run || wait_for_site(&waiting);
    end_step(publish, dry_run ? "planned" : passed ? "passed" : "refused");
    return passed;
}

// Steps 4 and 5: the manifest, last, and live's verdict.
bool put_manifest(Publish *publish)
{
    const PublishOptions &options = *publish->options;
    StepFindings &step = begin_step(publish, "the manifest");
    bool uploaded = upload(publish, &step, options.manifest, MANIFEST_PATH, MANIFEST_CACHE_CONTROL);
    end_step(publish, options.dry_run ? "planned" : uploaded ? "uploaded" : "refused");
    if (options.dry_run || !uploaded)
        return uploaded;
    StepFindings &live = begin_step(publish, "live");
    live.looked = true;
    bool passed = live_wait(options.live, publish->manifest.text, &live.site);
    end_step(publish, passed ? "passed" : "refused");
    return passed;
}

// Step 6: the rollback manifest put back, and waited for.
PublishResult roll_back(Publish *publish)
{
    StepFindings &step = begin_step(publish, "rollback");
    PublishFindings &findings = publish->findings;
    if (publish->rollback.empty()) {
        findings.verdict = "the release did not go live on every address, and there is no "
                           "earlier release to put back: the site may serve a release that does "
                           "not pass";
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
                               : "the release " + std::string(publish->manifest.fields.version) +
                                     " is live on every address";
        return PUBLISH_LIVE;
    }
    return roll_back(publish);
}

} // namespace

std::string split_command(const std::string &command, std::vector<std::string> *words)
{
    // What a shell would expand, redirect or end the command at.
    const std::string SPECIAL = "$`|&;<>()*?[";
    std::string word;
    bool in_word = false;
    for (size_t i = 0; i < command.size(); i++) {
        char c = command[i];
        bool last = i + 1 == command.size();
        if (c == '\\' && !last && command[i + 1] == '\n') {
            i++;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (in_word)
                words->push_back(word);
            word.clear();
            in_word = false;
        } else if (c == '\'') {
            size_t end = command.find('\'', i + 1);
            if (end == std::string::npos)
                return "has a single quote that does not end";
            word += command.substr(i + 1, end - i - 1);
            i = end;
            in_word = true;
        } else if (c == '"') {
            for (i++; i < command.size() && command[i] != '"'; i++) {
                char next = i + 1 < command.size() ? command[i + 1] : 0;
                if (command[i] == '\\' && next == '\n')
                    i++;
                else if (command[i] == '\\' && next != 0 && strchr("$`\"\\", next) != nullptr)
                    word += command[++i];
                else if (strchr("$`", command[i]) != nullptr)
                    return std::string("holds ") + command[i] + " in double quotes, which a "
                           "shell would expand; put it in single quotes";
                else
                    word += command[i];
            }
            if (i == command.size())
                return "has a double quote that does not end";
            in_word = true;
        } else if (c == '\\') {
            if (last)
                return "ends with a backslash";
            word += command[++i];
            in_word = true;
        } else if (SPECIAL.find(c) != std::string::npos ||
                   (!in_word && (c == '#' || c == '~'))) {
            return std::string("holds ") + c + ", which a shell would read otherwise; quote it";
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word)
        words->push_back(word);
    return "";
}

PublishResult command_publish(const PublishOptions &options)
{
    Publish publish;
    publish.options = &options;
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
