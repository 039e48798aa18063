// `tarvik-manifest live`: fetches the release back from the public site the
// way the bootstrapper would, from each address of the site host in turn,
// and judges it with the bootstrapper's own rules.
//
// The transfers go through libcurl with the bootstrapper's rules: HTTPS
// only, the server certificate checked, only status 200, redirects only to
// HTTPS locations and at most 10 of them, HTTP/1.1, the same user agent;
// the manifest refused past 4,095 bytes, the setup program past the
// manifest's size. There is no proxy: each edge is judged by what it
// serves itself, so every connection to the site host, on any port, is
// pinned to one address while the TLS name stays the site host. A redirect
// to another host is followed as WinHTTP follows it, and the findings name
// where each file really came from.
//
// Every command ends in bounded time, whatever an edge does. That is the
// publisher's policy, not the bootstrapper's, which reads as long as bytes
// come: a transfer that averages less than 1 KiB a second over 60 s is too
// slow for users (a setup program would take hours), and is ended, naming
// its rate; the tool counts that rate itself, because libcurl's low-speed
// rule judges whole bytes over a few seconds, which a burst every few
// seconds dodges. A round's transfers end with the wait that repeats it, or
// without one after --max-time; each gets at least 5 s.
//
// The setup program is streamed into a temporary file, unlinked as soon as
// it is made (so that neither a crash nor a kill leaves it behind), and
// hashed as it arrives, so memory does not grow with it; its signature is
// read back through the open file.

#include "live.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netdb.h>
#include <openssl/evp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/config.h"
#include "checks.h"
#include "net/manifest.h"
#include "signature.h"

namespace {

const char *const USER_AGENT = "TarvikInstaller/1.0";
const long CONNECT_SECONDS = 15;
// A transfer that receives less than a byte a second for this long has
// stalled (WinHTTP's receive time-out is as long).
const long STALL_SECONDS = 30;
// A transfer slower than this on average, over a window this long, is too
// slow for users.
const long long SLOWEST_RATE = 1024;
const double RATE_WINDOW_SECONDS = 60;
// The least time that a transfer gets, even at the end of a wait.
const time_t LEAST_TRANSFER_SECONDS = 5;
// Between rounds of a wait.
const unsigned PAUSE_SECONDS = 5;
// Edges that keep the manifest longer than this delay every release.
const long MANIFEST_CACHE_SECONDS = 300;
// The response headers reported: what says how long caches keep a file,
// and for the setup program what says which file it is.
const std::vector<std::string> CACHE_HEADERS = {
    "cache-control", "expires", "date", "age", "content-type", "x-cache", "cf-cache-status",
    "x-cache-status", "cdn-cache"};
std::vector<std::string> setup_headers()
{
    std::vector<std::string> reported = {"content-length", "etag", "last-modified"};
    reported.insert(reported.end(), CACHE_HEADERS.begin(), CACHE_HEADERS.end());
    return reported;
}
const std::vector<std::string> SETUP_HEADERS = setup_headers();
// How much of a body is kept to tell what it is.
const size_t HEAD_BYTES = 4096;

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

// Adds to `addresses` every address that this machine's resolver gives for
// `name`, each once: IPv4 and IPv6 as this machine can reach them for a
// host name, the address itself for a literal one (even where only its
// loopback has that family). Returns the reason when there is none.
std::string resolve(const std::string &name, std::vector<std::string> *addresses)
{
    unsigned char literal[sizeof(struct in6_addr)];
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = inet_pton(AF_INET, name.c_str(), literal) == 1 ||
                             inet_pton(AF_INET6, name.c_str(), literal) == 1
                         ? AI_NUMERICHOST : AI_ADDRCONFIG;
    addrinfo *found = nullptr;
    int error = getaddrinfo(name.c_str(), site_port().c_str(), &hints, &found);
    if (error != 0)
        return "cannot resolve " + escaped(name) + ": " + gai_strerror(error);
    for (addrinfo *entry = found; entry != nullptr; entry = entry->ai_next) {
        char text[NI_MAXHOST];
        if (getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0,
                        NI_NUMERICHOST) == 0 &&
            std::find(addresses->begin(), addresses->end(), text) == addresses->end())
            addresses->push_back(text);
    }
    freeaddrinfo(found);
    return "";
}

// What one transfer receives: the body goes to `text` or `file`, hashed
// on the way, and no further than `limit` bytes, as `rule` says.
struct Body {
    long long limit = 0;
    BodyRule rule = BODY_UP_TO;
    std::string head;               // the body's first HEAD_BYTES, even past the limit
    bool probed = false;            // a probe ended once it knew what the body is
    std::string *text = nullptr;
    FILE *file = nullptr;
    EVP_MD_CTX *sha = nullptr;
    long status = 0;                // of the response whose headers arrive
    long long received = 0;
    long long content_length = -1;
    bool over = false;
    bool wrong_length = false;
    bool wrong_status = false;
    bool write_failed = false;
    std::vector<std::pair<std::string, std::string>> headers; // of the last response, raw
    time_t deadline = 0;            // when it ends (0: never)
    bool out_of_time = false;
    double started = 0;             // monotonic seconds
    double window_start = 0;        // of the window whose rate is counted
    long long window_bytes = 0;     // received before it
    long long slow_rate = -1;       // bytes a second of a window that was too slow
};

// True when `head` begins as a PE image does, with MZ.
bool begins_program(const std::string &head)
{
    return head.compare(0, 2, "MZ") == 0;
}

// True when the first byte of `head` after any blanks is {.
bool begins_object(const std::string &head)
{
    size_t first = head.find_first_not_of(" \t\r\n");
    return first != std::string::npos && head[first] == '{';
}

double monotonic()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

// Called about once a second, moving or not: ends a transfer at its
// deadline, or when a window of RATE_WINDOW_SECONDS brought less than
// SLOWEST_RATE bytes a second.
int on_progress(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    Body *body = (Body *)context;
    double now = monotonic(), window = now - body->window_start;
    if (body->deadline != 0 && time(nullptr) >= body->deadline) {
        body->out_of_time = true;
        return 1;
    }
    if (window >= RATE_WINDOW_SECONDS) {
        double rate = (double)(body->received - body->window_bytes) / window;
        if (rate < SLOWEST_RATE) {
            body->slow_rate = llround(rate);
            return 1;
        }
        body->window_start = now;
        body->window_bytes = body->received;
    }
    return 0;
}

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
        if (body->rule == BODY_EXACTLY && body->content_length != body->limit) {
            body->wrong_length = true;
            return 0;
        }
    }
    return size * count;
}

// The body of a response that is not 200 is never read: its status is
// what counts, whatever its size.
size_t on_body(char *data, size_t size, size_t count, void *context)
{
    Body *body = (Body *)context;
    size_t bytes = size * count;
    if (body->status != 200) {
        body->wrong_status = true;
        return 0;
    }
    body->head.append(data, std::min(bytes, HEAD_BYTES - body->head.size()));
    // A probe needs no more than the first bytes of a page, or of a
    // program whose length is not the release's.
    if (body->rule == BODY_PROBE && body->head.size() >= 2 &&
        (!begins_program(body->head) ||
         (body->content_length >= 0 && body->content_length != body->limit))) {
        body->probed = true;
        return 0;
    }
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

// What went wrong with a finished transfer, "" for nothing.
// `status` is the final response's.
std::string transfer_fault(CURL *curl, CURLcode code, long status, const Body &body,
                           const char *error)
{
    curl_off_t handshake = 0;
    curl_easy_getinfo(curl, CURLINFO_APPCONNECT_TIME_T, &handshake);
    std::string message = escaped(*error != 0 ? error : curl_easy_strerror(code));
    if (body.wrong_length)
        return "Content-Length " + std::to_string(body.content_length) +
               " is not the manifest's size " + std::to_string(body.limit) +
               " (refused before the body)";
    if (body.probed)
        return "not the release's bytes (ended after its first bytes)";
    if (body.wrong_status || (code == CURLE_OK && status != 200))
        return "status " + std::to_string(status) + " (only 200 counts)";
    if (body.over)
        return "more than " + std::to_string(body.limit) + " bytes";
    if (body.write_failed)
        return "cannot keep the body: " + std::string(strerror(errno));
    if (body.slow_rate >= 0)
        return "too slow for users: " + std::to_string(body.slow_rate) + " bytes a second over " +
               std::to_string((long)RATE_WINDOW_SECONDS) + " s, below " +
               std::to_string(SLOWEST_RATE) + " (a setup program would take hours)";
    if (body.out_of_time)
        return "out of time (the wait, or --max-time, ran out) after " +
               std::to_string(body.received) + " bytes, at " +
               std::to_string((long long)((double)body.received /
                                          std::max(monotonic() - body.started, 1.0))) +
               " bytes a second";
    if (code == CURLE_UNSUPPORTED_PROTOCOL)
        return "a redirect to a location that is not HTTPS";
    if (code == CURLE_COULDNT_CONNECT)
        return "unreachable: " + message;
    if (code == CURLE_OPERATION_TIMEDOUT)
        return (handshake == 0 ? "the connection or its TLS handshake timed out: " : "stalled: ") +
               message;
    return code == CURLE_OK ? "" : message;
}

} // namespace

void fetch_url(const std::string &url, const std::string &address, const LiveOptions &options,
               long long limit, BodyRule rule, std::string *text, FILE *file,
               const std::vector<std::string> &reported, FetchFindings *found)
{
    *found = FetchFindings();
    found->url = escaped(url);
    // libcurl sets itself up on the first transfer; the tool has one thread.
    Body body;
    body.limit = limit;
    body.rule = rule;
    body.text = text;
    body.file = file;
    body.sha = new_sha256();
    body.started = body.window_start = monotonic();
    body.deadline = options.deadline == 0 ? 0
                    : std::max(options.deadline, time(nullptr) + LEAST_TRANSFER_SECONDS);
    CURL *curl = body.sha == nullptr ? nullptr : curl_easy_init();
    bool ipv6 = address.find(':') != std::string::npos;
    // Every port of the site host, so that a redirect to another of its
    // ports still reaches this address.
    std::string pin = site_name() + "::" + (ipv6 ? "[" + address + "]" : address) + ":";
    curl_slist *connect_to = curl_slist_append(nullptr, pin.c_str());
    char error[CURL_ERROR_SIZE] = "";
    if (curl == nullptr || connect_to == nullptr) {
        found->fault = "libcurl or libcrypto cannot start a transfer";
        goto done;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connect_to);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_USERAGENT, USER_AGENT);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, CONNECT_SECONDS);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, STALL_SECONDS);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &body);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &body);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    if (!options.cacert.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, options.cacert.c_str());
    {
        CURLcode code = curl_easy_perform(curl);
        char *final_url = nullptr, *ip = nullptr;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &found->status);
        curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &final_url);
        curl_easy_getinfo(curl, CURLINFO_PRIMARY_IP, &ip);
        found->final_url = escaped(final_url != nullptr ? final_url : "");
        found->ip = escaped(ip != nullptr ? ip : "");
        found->fault = transfer_fault(curl, code, found->status, body, error);
    }
    for (const auto &header : body.headers) {
        if (std::find(reported.begin(), reported.end(), header.first) != reported.end())
            found->headers.emplace_back(escaped(header.first), escaped(header.second));
        if (header.first == "content-type")
            found->content_type = escaped(header.second);
    }
    found->bytes = body.received;
    found->wrong_size = body.wrong_length || body.over;
    found->pe_image = begins_program(body.head);
    found->json_object = begins_object(body.head);
    if (found->fault.empty())
        found->sha256 = finish_sha256(body.sha);
done:
    curl_slist_free_all(connect_to);
    curl_easy_cleanup(curl);
    EVP_MD_CTX_free(body.sha);
}

std::string manifest_url()
{
    return "https://" TARVIK_SITE_HOST_TEXT + std::string(MANIFEST_PATH);
}

void fetch_manifest(const LiveOptions &options, const std::string &address, std::string *text,
                    FetchFindings *found)
{
    fetch_url(manifest_url(), address, options, MANIFEST_CAPACITY - 1, BODY_UP_TO, text, nullptr,
              CACHE_HEADERS, found);
}

bool check_setup(const LiveOptions &options, const std::string &address, const std::string &url,
                 long long size, const std::string &sha256, AddressFindings *found)
{
    const char *temp = getenv("TMPDIR");
    std::string path = std::string(temp != nullptr && *temp != 0 ? temp : "/tmp") +
                       "/tarvik-live.XXXXXX";
    int descriptor = mkstemp(path.data());
    // Gone from the folder at once: the open file is all that is left, and
    // it goes with the process, however that ends.
    if (descriptor >= 0)
        unlink(path.c_str());
    FILE *file = descriptor < 0 ? nullptr : fdopen(descriptor, "w+b");
    std::string where = address + ": the setup program: ";
    std::string fault;
    Signature signature;
    if (file == nullptr) {
        fault = "cannot make a temporary file: " + std::string(strerror(errno));
        if (descriptor >= 0)
            close(descriptor);
    } else {
        fetch_url(url, address, options, size, BODY_EXACTLY, nullptr, file, SETUP_HEADERS,
                  &found->setup);
        fault = found->setup.fault;
        if (fault.empty() && found->setup.bytes != size)
            fault = std::to_string(found->setup.bytes) + " bytes, the manifest says " +
                    std::to_string(size);
        else if (fault.empty() && found->setup.sha256 != sha256)
            fault = "sha256 " + found->setup.sha256 + ", the manifest says " + sha256;
        else if (fault.empty() &&
                 (fflush(file) != 0 || !read_signature_file(file, options.roots, &signature)))
            fault = "cannot read back the temporary copy: " + std::string(strerror(errno));
        found->setup.fault = fault;
    }
    if (fault.empty()) {
        found->signer_judged = true;
        fault = judge_signature(signature, "the setup program", options.publisher,
                                !options.bootstrapper.empty(), &found->signer);
        where = address + ": ";
        if (!fault.empty())
            fault += "; " + setup_refused(options.publisher);
    }
    if (!fault.empty())
        found->refusals.push_back(where + fault + " (" + escaped(url) + ")");
    if (file != nullptr)
        fclose(file);
    return fault.empty();
}

namespace {

// Fetches the manifest from `found->address` and judges it (and that it is
// `expected`, unless that is ""), then the setup program that it names.
void check_address(const LiveOptions &options, const std::string &expected,
                   AddressFindings *found)
{
    const std::string &address = found->address;
    std::string url = manifest_url(), text;
    fetch_manifest(options, address, &text, &found->manifest);
    Gathered rule;
    ManifestFields fields = {};
    ReleaseInfo release = {};
    if (!found->manifest.fault.empty()) {
        found->refusals.push_back(address + ": the manifest: " + found->manifest.fault + " (" +
                                  url + ")");
        return;
    }
    long lifetime = cache_lifetime(found->manifest);
    if (lifetime > MANIFEST_CACHE_SECONDS)
        found->warnings.push_back("caches may keep this manifest for " + std::to_string(lifetime) +
                                  " s, so a new release reaches users only that much later; give "
                                  "it a lifetime of at most " +
                                  std::to_string(MANIFEST_CACHE_SECONDS) + " s");
    if (!expected.empty() && text != expected) {
        found->refusals.push_back(address + ": the manifest is not the expected one (" + url + ")");
        return;
    }
    Gathered *outer = gather(&rule);
    bool passes = passes_rules(text, &fields, &release);
    gather(outer);
    if (!passes) {
        found->refusals.push_back(address + ": the manifest fails the bootstrapper's rules: " +
                                  rule.refusals.front() + " (" + url + ")");
        return;
    }
    found->version = fields.version;
    found->size = release.expected_size;
    found->setup_url = fields.url;
    if (!url_names_version(fields.url, fields.version))
        found->warnings.push_back("the url does not name the version " + found->version +
                                  ": a setup program replaced under it fails for users whose "
                                  "cache holds the old one");
    check_setup(options, address, fields.url, release.expected_size, release.sha256_hex, found);
}

// Reads the manifest of --expect into `text`, checked by the rules, and
// confirms that the setup program given with it is the one it describes.
bool read_expected(const LiveOptions &options, std::string *text)
{
    CheckedManifest expected;
    FileFacts setup;
    if (!read_manifest(options.expect, &expected))
        return false;
    *text = expected.text;
    if (options.expect_setup.empty())
        return true;
    if (!stat_file(options.expect_setup, &setup) || !read_file(options.expect_setup, &setup, nullptr))
        return false;
    return (setup.size == expected.release.expected_size &&
            setup.sha256 == expected.release.sha256_hex) ||
           refuse(options.expect_setup + " is not the setup program that " + options.expect +
                  " describes");
}

} // namespace

long cache_lifetime(const FetchFindings &fetch)
{
    long shared = -1, any = -1;
    std::string expires, date;
    for (const auto &header : fetch.headers) {
        if (header.first == "expires")
            expires = header.second;
        else if (header.first == "date")
            date = header.second;
        if (header.first != "cache-control")
            continue;
        // Directives, comma-separated: NAME or NAME=VALUE, the value maybe
        // quoted. A repeated one counts with its largest value.
        std::string directives = header.second + ",";
        for (size_t start = 0, comma; (comma = directives.find(',', start)) != std::string::npos;
             start = comma + 1) {
            std::string directive = directives.substr(start, comma - start);
            size_t begin = directive.find_first_not_of(" \t"), equals = directive.find('=');
            std::string name = begin == std::string::npos
                                   ? ""
                                   : directive.substr(begin, equals == std::string::npos
                                                                 ? std::string::npos
                                                                 : equals - begin);
            name = name.substr(0, name.find_last_not_of(" \t") + 1);
            for (char &c : name)
                c = (char)tolower((unsigned char)c);
            const char *value = equals == std::string::npos ? "" : directive.c_str() + equals + 1;
            while (*value == ' ' || *value == '"')
                value++;
            long seconds = *value >= '0' && *value <= '9' ? strtol(value, nullptr, 10) : -1;
            if (name == "s-maxage")
                shared = std::max(shared, seconds);
            else if (name == "max-age")
                any = std::max(any, seconds);
        }
    }
    if (shared >= 0 || any >= 0)
        return shared >= 0 ? shared : any;
    if (expires.empty())
        return -1;
    // Expires counts from the response's Date (this machine's clock without
    // one); one that does not parse has already expired.
    time_t until = curl_getdate(expires.c_str(), nullptr);
    time_t now = date.empty() ? -1 : curl_getdate(date.c_str(), nullptr);
    if (now < 0)
        now = time(nullptr);
    return until < 0 || until < now ? 0 : (long)(until - now);
}

bool resolve_addresses(const LiveOptions &options, LiveFindings *findings)
{
    std::vector<std::string> names = options.addresses, addresses;
    if (names.empty())
        names.push_back(site_name());
    for (const std::string &name : names) {
        std::string fault = resolve(name, &addresses);
        if (!fault.empty())
            findings->refusals.push_back(fault);
    }
    // A round over no address would pass having checked nothing.
    if (addresses.empty() && findings->refusals.empty())
        findings->refusals.push_back("no address to check");
    for (const std::string &address : addresses) {
        findings->addresses.push_back(AddressFindings());
        findings->addresses.back().address = address;
    }
    return findings->refusals.empty();
}

void live_round(const LiveOptions &options, const std::string &expected, LiveFindings *findings)
{
    resolve_addresses(options, findings);
    for (AddressFindings &address : findings->addresses)
        check_address(options, expected, &address);
    // Edges out of step with each other: every pair that differs is named.
    const std::vector<AddressFindings> &served = findings->addresses;
    for (size_t i = 0; i < served.size(); i++)
        for (size_t k = i + 1; k < served.size(); k++) {
            const AddressFindings &a = served[i], &b = served[k];
            // An address that served nothing has been refused already.
            bool manifests = !a.manifest.sha256.empty() && !b.manifest.sha256.empty() &&
                             a.manifest.sha256 != b.manifest.sha256;
            bool setups = !a.setup.sha256.empty() && !b.setup.sha256.empty() &&
                          a.setup.sha256 != b.setup.sha256;
            if (manifests || setups)
                findings->refusals.push_back(a.address + " and " + b.address + " serve different " +
                                             (manifests ? "manifests" : "setup programs"));
        }
    if (!options.bootstrapper.empty()) {
        Signature signature;
        findings->bootstrapper.role = "bootstrapper ";
        std::string fault;
        if (!read_signature(options.bootstrapper, options.roots, &signature)) {
            fault = "cannot read " + options.bootstrapper;
        } else {
            findings->bootstrapper_judged = true;
            fault = judge_signature(signature, options.bootstrapper, options.publisher, true,
                                    &findings->bootstrapper);
            if (!fault.empty())
                fault += "; " + bootstrapper_refused(options.publisher);
        }
        if (!fault.empty())
            findings->refusals.push_back(fault);
    }
    findings->passed = all_refusals(*findings).empty();
}

time_t transfers_deadline(const LiveOptions &options)
{
    return time(nullptr) + (options.wait_seconds > 0 ? options.wait_seconds : options.max_seconds);
}

bool repeat_check(const LiveOptions &options, RoundCheck check, void *context, int *rounds)
{
    time_t deadline = time(nullptr) + options.wait_seconds, transfers = transfers_deadline(options);
    std::string first;
    for (*rounds = 1;; ++*rounds) {
        if (check(context, transfers, &first))
            return true;
        if (time(nullptr) + (time_t)PAUSE_SECONDS > deadline)
            return false;
        fprintf(options.json ? stderr : stdout, "round %d: waiting for: %s (%ld s left)\n",
                *rounds, first.c_str(), (long)(deadline - time(nullptr)));
        fflush(stdout);
        sleep(PAUSE_SECONDS);
    }
}

namespace {

// A round of `live`, for repeat_check.
struct LiveRound {
    const LiveOptions *options;
    const std::string *expected;
    LiveFindings *findings;
};

bool live_check(void *context, time_t deadline, std::string *first)
{
    LiveRound *round = (LiveRound *)context;
    LiveOptions options = *round->options;
    options.deadline = deadline;
    *round->findings = LiveFindings();
    live_round(options, *round->expected, round->findings);
    std::vector<std::string> refusals = all_refusals(*round->findings);
    *first = refusals.empty() ? "" : refusals.front();
    return round->findings->passed;
}

} // namespace

bool live_wait(const LiveOptions &options, const std::string &expected, LiveFindings *findings)
{
    LiveRound round = {&options, &expected, findings};
    int rounds = 0;
    bool passed = repeat_check(options, live_check, &round, &rounds);
    findings->rounds = rounds;
    return passed;
}

bool command_live(const LiveOptions &options)
{
    LiveFindings findings;
    std::string expected;
    Gathered local;
    Gathered *outer = gather(&local);
    bool ready = options.expect.empty() || read_expected(options, &expected);
    gather(outer);
    findings.refusals = local.refusals;
    if (ready)
        live_wait(options, expected, &findings);
    if (options.json)
        write_json(findings);
    else
        write_text(findings);
    return findings.passed;
}
