// `tarvik-manifest live`: fetches the release back from the public site the
// way the bootstrapper would, from each address of the site host in turn,
// and judges it with the bootstrapper's own rules.
//
// The transfers go through libcurl with the bootstrapper's rules: HTTPS
// only, the server certificate checked, only status 200, redirects only to
// HTTPS locations and at most 10 of them, HTTP/1.1, no proxy, the same user
// agent; the manifest refused past 4,095 bytes, the setup program past the
// manifest's size. Each connection is pinned to one address while the TLS
// name stays the site host. The setup program is streamed into a temporary
// file (its signature is read from there) and hashed as it arrives, so
// memory does not grow with it.

#include "live.h"

#include <curl/curl.h>
#include <netdb.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/config.h"
#include "checks.h"
#include "net/manifest.h"

namespace {

const char *const USER_AGENT = "TarvikInstaller/1.0";
const char *const MANIFEST_PATH = "/windows-setup.json";
// Each transfer ends after this long, so that a stalled server is reported
// instead of waited for.
const long TRANSFER_SECONDS = 120;
const long CONNECT_SECONDS = 15;
// A transfer that receives nothing for this long has stalled.
const long STALL_SECONDS = 30;
// Between rounds of a wait.
const unsigned PAUSE_SECONDS = 5;
// Edges that keep the manifest longer than this delay every release.
const long MANIFEST_CACHE_SECONDS = 300;
// The response headers reported: for the manifest, what says how long
// caches keep it; for the setup program, what says which file it is.
const char *const MANIFEST_HEADERS[] = {"cache-control", "expires", "age", "x-cache",
                                        "cf-cache-status", "x-cache-status", "cdn-cache"};
const char *const SETUP_HEADERS[] = {"content-length", "etag", "last-modified"};

// The site host without its port, and its port.
std::string site_name()
{
    std::string host = TARVIK_SITE_HOST_TEXT;
    return host.substr(0, host.find(':'));
}

std::string site_port()
{
    std::string host = TARVIK_SITE_HOST_TEXT;
    size_t colon = host.find(':');
    return colon == std::string::npos ? "443" : host.substr(colon + 1);
}

// Adds to `addresses` every address, IPv4 and IPv6, that this machine's
// resolver gives for `name` (an address stands for itself), each once.
// Returns false, with the reason in `fault`, when there is none.
bool resolve(const std::string &name, std::vector<std::string> *addresses, std::string *fault)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int error = getaddrinfo(name.c_str(), site_port().c_str(), &hints, &found);
    if (error != 0) {
        *fault = "cannot resolve " + name + ": " + gai_strerror(error);
        return false;
    }
    for (addrinfo *entry = found; entry != nullptr; entry = entry->ai_next) {
        char text[NI_MAXHOST];
        if (getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0,
                        NI_NUMERICHOST) == 0 &&
            std::find(addresses->begin(), addresses->end(), text) == addresses->end())
            addresses->push_back(text);
    }
    freeaddrinfo(found);
    return true;
}

// What one transfer receives: the body goes to `text` (the manifest) or
// `file` (the setup program), hashed on the way, and no further than
// `limit` bytes.
struct Body {
    long long limit = 0;
    bool length_must_match = false; // a Content-Length other than `limit` ends it
    std::string *text = nullptr;
    FILE *file = nullptr;
    EVP_MD_CTX *sha = nullptr;
    long status = 0;                // of the response whose headers arrive
    long long received = 0;
    long long content_length = -1;
    bool over = false;
    bool wrong_length = false;
    bool write_failed = false;
    std::vector<std::pair<std::string, std::string>> headers; // of the final response
};

// Called for each header line of each response, redirects included: only
// the final 200 response's Content-Length counts.
size_t on_header(char *data, size_t size, size_t count, void *context)
{
    Body *body = (Body *)context;
    std::string line(data, size * count);
    size_t colon = line.find(':');
    if (line.compare(0, 5, "HTTP/") == 0) {
        size_t blank = line.find(' ');
        body->status = blank == std::string::npos ? 0 : strtol(line.c_str() + blank, nullptr, 10);
        body->content_length = -1;
        body->headers.clear();
    } else if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (char &c : name)
            c = (char)tolower((unsigned char)c);
        size_t value = line.find_first_not_of(" \t", colon + 1);
        size_t end = line.find_last_not_of("\r\n");
        body->headers.emplace_back(name, value == std::string::npos || end < value
                                             ? ""
                                             : line.substr(value, end + 1 - value));
    }
    if (body->status == 200 && strncasecmp(line.c_str(), "content-length:", 15) == 0) {
        body->content_length = strtoll(line.c_str() + 15, nullptr, 10);
        // The file is not the one described: refused before its body.
        if (body->length_must_match && body->content_length != body->limit) {
            body->wrong_length = true;
            return 0;
        }
    }
    return size * count;
}

size_t on_body(char *data, size_t size, size_t count, void *context)
{
    Body *body = (Body *)context;
    size_t bytes = size * count;
    if (body->received + (long long)bytes > body->limit) {
        body->over = true;
        return 0;
    }
    body->received += (long long)bytes;
    if (EVP_DigestUpdate(body->sha, data, bytes) != 1 ||
        (body->file != nullptr && fwrite(data, 1, bytes, body->file) != bytes)) {
        body->write_failed = true;
        return 0;
    }
    if (body->text != nullptr)
        body->text->append(data, bytes);
    return bytes;
}

// GETs `url` from the site host at `address` into `body`. Returns "" for a
// 200 response received whole, otherwise what went wrong.
std::string fetch(const std::string &url, const std::string &address,
                  const LiveOptions &options, Body *body)
{
    CURL *curl = curl_easy_init();
    if (curl == nullptr)
        return "libcurl cannot start a transfer";
    bool ipv6 = address.find(':') != std::string::npos;
    std::string pin = site_name() + ":" + site_port() + ":" + (ipv6 ? "[" + address + "]" : address);
    curl_slist *resolve = curl_slist_append(nullptr, pin.c_str());
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_USERAGENT, USER_AGENT);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, TRANSFER_SECONDS);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, CONNECT_SECONDS);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, STALL_SECONDS);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, body);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
    if (!options.cacert.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, options.cacert.c_str());
    CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    std::string fault;
    if (body->wrong_length)
        fault = "Content-Length " + std::to_string(body->content_length) +
                " is not the manifest's size " + std::to_string(body->limit) +
                " (refused before the body)";
    else if (body->over)
        fault = "more than " + std::to_string(body->limit) + " bytes";
    else if (body->write_failed)
        fault = "cannot keep the body: " + std::string(strerror(errno));
    else if (code == CURLE_UNSUPPORTED_PROTOCOL)
        fault = "a redirect to a location that is not HTTPS";
    else if (code == CURLE_COULDNT_CONNECT)
        fault = "unreachable: " + std::string(*error != 0 ? error : curl_easy_strerror(code));
    else if (code == CURLE_OPERATION_TIMEDOUT)
        fault = "stalled: " + std::string(*error != 0 ? error : curl_easy_strerror(code));
    else if (code != CURLE_OK)
        fault = *error != 0 ? error : curl_easy_strerror(code);
    else if (status != 200)
        fault = "status " + std::to_string(status) + " (only 200 counts)";
    curl_slist_free_all(resolve);
    curl_easy_cleanup(curl);
    return fault;
}

// Prints the headers of `body` that are named in `names`, on one line.
template <size_t N>
void report_headers(const Body &body, const char *const (&names)[N])
{
    std::string shown;
    for (const auto &header : body.headers)
        if (std::find_if(names, names + N, [&](const char *name) { return header.first == name; }) !=
            names + N)
            shown += (shown.empty() ? "" : "; ") + header.first + ": " + header.second;
    printf("    headers: %s\n", shown.empty() ? "none of note" : shown.c_str());
}

// How long the Cache-Control of `body` lets shared caches keep it:
// s-maxage, else max-age; -1 when it says neither.
long cache_lifetime(const Body &body)
{
    long lifetime = -1;
    for (const auto &header : body.headers) {
        if (header.first != "cache-control")
            continue;
        for (const char *key : {"max-age=", "s-maxage="}) {
            size_t at = header.second.find(key);
            if (at != std::string::npos)
                lifetime = strtol(header.second.c_str() + at + strlen(key), nullptr, 10);
        }
    }
    return lifetime;
}

// What one address serves: the digests of its manifest and setup program.
struct Served {
    std::string address;
    std::string manifest_sha256;
    std::string setup_sha256;
};

// Fetches the manifest from `address` and judges it, then the setup
// program that it names. Writes the address's report block.
bool check_address(const LiveOptions &options, const std::string &expected_manifest,
                   Served *served)
{
    const std::string &address = served->address;
    std::string manifest_url = "https://" TARVIK_SITE_HOST_TEXT + std::string(MANIFEST_PATH);
    printf("address %s\n", address.c_str());
    std::string text;
    Body manifest;
    manifest.limit = MANIFEST_CAPACITY - 1;
    manifest.text = &text;
    manifest.sha = new_sha256();
    std::string fault = manifest.sha == nullptr ? "cannot compute a SHA-256"
                                                : fetch(manifest_url, address, options, &manifest);
    if (fault.empty())
        served->manifest_sha256 = finish_sha256(manifest.sha);
    EVP_MD_CTX_free(manifest.sha);
    if (!fault.empty())
        return refuse(address + ": the manifest: " + fault + " (" + manifest_url + ")");
    printf("  manifest: %zu bytes, sha256 %s\n", text.size(), served->manifest_sha256.c_str());
    report_headers(manifest, MANIFEST_HEADERS);
    long lifetime = cache_lifetime(manifest);
    if (lifetime > MANIFEST_CACHE_SECONDS)
        printf("  warning: caches may keep this manifest for %ld s, so a new release reaches "
               "users only that much later; give it a lifetime of at most %ld s\n",
               lifetime, MANIFEST_CACHE_SECONDS);
    if (!expected_manifest.empty() && text != expected_manifest)
        return refuse(address + ": the manifest is not the expected one (" + manifest_url + ")");
    ManifestFields fields = {};
    ReleaseInfo release = {};
    if (!passes_rules(text, &fields, &release))
        return refuse(address + ": the manifest fails the rule above (" + manifest_url + ")");
    printf("  release: version %s, size %lld, %s\n", fields.version, release.expected_size,
           fields.url);
    if (!url_names_version(fields.url, fields.version))
        printf("  warning: the url does not name the version %s: a setup program replaced "
               "under it fails for users whose cache holds the old one\n", fields.version);

    const char *temp = getenv("TMPDIR");
    std::string path = std::string(temp != nullptr && *temp != 0 ? temp : "/tmp") +
                       "/tarvik-live.XXXXXX";
    int descriptor = mkstemp(path.data());
    Body setup;
    setup.limit = release.expected_size;
    setup.length_must_match = true;
    setup.file = descriptor < 0 ? nullptr : fdopen(descriptor, "wb");
    setup.sha = new_sha256();
    fault = setup.file == nullptr ? "cannot make a temporary file: " + std::string(strerror(errno))
            : setup.sha == nullptr ? "cannot compute a SHA-256"
                                   : fetch(fields.url, address, options, &setup);
    if (setup.file != nullptr && fclose(setup.file) != 0 && fault.empty())
        fault = "cannot keep the body: " + std::string(strerror(errno));
    else if (setup.file == nullptr && descriptor >= 0)
        close(descriptor);
    if (fault.empty() && setup.received != release.expected_size)
        fault = std::to_string(setup.received) + " bytes, the manifest says " +
                std::to_string(release.expected_size);
    if (fault.empty())
        served->setup_sha256 = finish_sha256(setup.sha);
    EVP_MD_CTX_free(setup.sha);
    if (fault.empty() && served->setup_sha256 != release.sha256_hex)
        fault = "sha256 " + served->setup_sha256 + ", the manifest says " + release.sha256_hex;
    bool accepted = fault.empty() || refuse(address + ": the setup program: " + fault + " (" +
                                            std::string(fields.url) + ")");
    if (accepted) {
        printf("  setup program: %lld bytes, sha256 %s\n", setup.received,
               served->setup_sha256.c_str());
        report_headers(setup, SETUP_HEADERS);
        accepted = check_signer("  ", path, options.publisher, !options.bootstrapper.empty(),
                                address + ": " + setup_refused(options.publisher) + " (" +
                                    fields.url + ")");
    }
    if (descriptor >= 0)
        unlink(path.c_str());
    return accepted;
}

// Reads the manifest of --expect into `text`, checked by the rules, and
// confirms that the setup program given with it is the one it describes.
bool read_expected(const LiveOptions &options, std::string *text)
{
    FileFacts facts, setup;
    ManifestFields fields = {};
    ReleaseInfo release = {};
    if (!stat_file(options.expect, &facts))
        return false;
    if (facts.size >= MANIFEST_CAPACITY)
        return refuse(options.expect + " is larger than the bootstrapper reads");
    if (!read_file(options.expect, &facts, text) || !passes_rules(*text, &fields, &release))
        return false;
    if (options.expect_setup.empty())
        return true;
    if (!stat_file(options.expect_setup, &setup) || !read_file(options.expect_setup, &setup, nullptr))
        return false;
    return (setup.size == release.expected_size && setup.sha256 == release.sha256_hex) ||
           refuse(options.expect_setup + " is not the setup program that " + options.expect +
                  " describes");
}

// One round over every address; `expected_manifest` is "" for any.
bool live_round(const LiveOptions &options, const std::vector<std::string> &addresses,
                const std::string &expected_manifest)
{
    bool accepted = true;
    std::vector<Served> served;
    for (const std::string &address : addresses) {
        served.push_back(Served{address, "", ""});
        accepted = check_address(options, expected_manifest, &served.back()) && accepted;
    }
    // Edges out of step with each other: every pair that differs is named.
    for (size_t i = 0; i < served.size(); i++)
        for (size_t k = i + 1; k < served.size(); k++) {
            const Served &a = served[i], &b = served[k];
            // An address that served nothing has been refused already.
            bool manifests = !a.manifest_sha256.empty() && !b.manifest_sha256.empty() &&
                             a.manifest_sha256 != b.manifest_sha256;
            bool setups = !a.setup_sha256.empty() && !b.setup_sha256.empty() &&
                          a.setup_sha256 != b.setup_sha256;
            if (manifests || setups)
                accepted = refuse(a.address + " and " + b.address + " serve different " +
                                  (manifests ? "manifests" : "setup programs"));
        }
    if (!options.bootstrapper.empty())
        accepted = check_signer("bootstrapper ", options.bootstrapper, options.publisher, true,
                                "the setup program needs a bootstrapper signed by " +
                                    shown(options.publisher) + ", with a timestamp") &&
                   accepted;
    if (accepted)
        printf("ok: the live release passes on %zu address%s\n", addresses.size(),
               addresses.size() == 1 ? "" : "es");
    return accepted;
}

// Runs a round with standard output and error going to `capture`, so that
// a round that fails while there is time to wait shows one line only.
bool captured_round(const LiveOptions &options, const std::vector<std::string> &addresses,
                    const std::string &expected_manifest, FILE *capture)
{
    fflush(stdout);
    fflush(stderr);
    int out = dup(1), err = dup(2);
    dup2(fileno(capture), 1);
    dup2(fileno(capture), 2);
    bool accepted = live_round(options, addresses, expected_manifest);
    fflush(stdout);
    fflush(stderr);
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    return accepted;
}

// Replays a captured round: refusals to standard error, the report to
// standard output. Returns its first refusal.
std::string replay(FILE *capture, bool show)
{
    std::string first;
    char line[4096];
    rewind(capture);
    while (fgets(line, sizeof line, capture) != nullptr) {
        bool refusal = strncmp(line, "refused: ", 9) == 0;
        if (refusal && first.empty())
            first.assign(line + 9, strcspn(line + 9, "\n"));
        if (show && refusal)
            fflush(stdout);
        if (show)
            fputs(line, refusal ? stderr : stdout);
    }
    return first;
}

// The findings of a captured round as one JSON object: each address's
// report lines by their names, the warnings, the refusals, the verdict.
void print_json(FILE *capture, bool accepted, int rounds)
{
    nlohmann::json report = {{"passed", accepted}, {"rounds", rounds},
                             {"addresses", nlohmann::json::array()},
                             {"refusals", nlohmann::json::array()}};
    nlohmann::json *block = &report;
    std::string last;
    char line[4096];
    rewind(capture);
    while (fgets(line, sizeof line, capture) != nullptr) {
        std::string text(line, strcspn(line, "\n"));
        size_t indent = text.find_first_not_of(' ');
        size_t colon = text.find(": ");
        if (text.compare(0, 8, "address ") == 0) {
            report["addresses"].push_back({{"address", text.substr(8)}});
            block = &report["addresses"].back();
        } else if (text.compare(0, 9, "refused: ") == 0) {
            report["refusals"].push_back(text.substr(9));
        } else if (indent != std::string::npos && colon != std::string::npos) {
            std::string key = text.substr(indent, colon - indent);
            std::string value = text.substr(colon + 2);
            nlohmann::json &target = indent == 0 ? report : *block;
            if (key == "warning")
                target["warnings"].push_back(value);
            else
                target[key == "headers" ? last + " headers" : key] = value;
            if (key != "headers")
                last = key;
        }
    }
    printf("%s\n", report.dump(2).c_str());
}

} // namespace

bool command_live(const LiveOptions &options)
{
    std::string expected_manifest, fault;
    if (!options.expect.empty() && !read_expected(options, &expected_manifest))
        return false;
    std::vector<std::string> addresses;
    for (const std::string &name :
         options.addresses.empty() ? std::vector<std::string>{site_name()} : options.addresses)
        if (!resolve(name, &addresses, &fault))
            return refuse(fault);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    time_t deadline = time(nullptr) + options.wait_seconds;
    bool accepted = false;
    for (int round = 1;; round++) {
        FILE *capture = tmpfile();
        if (capture == nullptr) {
            accepted = refuse("cannot make a temporary file: " + std::string(strerror(errno)));
            break;
        }
        accepted = captured_round(options, addresses, expected_manifest, capture);
        bool last = accepted || time(nullptr) + (time_t)PAUSE_SECONDS > deadline;
        std::string first = replay(capture, last && !options.json);
        if (last && options.json)
            print_json(capture, accepted, round);
        fclose(capture);
        if (last)
            break;
        // With --json standard output holds the JSON object alone.
        fprintf(options.json ? stderr : stdout, "round %d: waiting for: %s (%ld s left)\n", round,
                first.c_str(), (long)(deadline - time(nullptr)));
        fflush(stdout);
        sleep(PAUSE_SECONDS);
    }
    curl_global_cleanup();
    return accepted;
}
