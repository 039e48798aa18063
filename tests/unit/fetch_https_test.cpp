// The HTTPS fetcher against the local test site: status and redirect rules,
// the sink contract, cancellation between reads and URL limits.
#include <doctest/doctest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "app/run_state.h"
#include "net/fetch.h"
#include "test_support.h"

namespace {

// Records every sink call; can refuse a given call or cancel at one.
struct Recorder {
    std::string body;
    std::vector<unsigned> counts;
    int refuse_at = 0; // 1-based call number that returns 0
    int cancel_at = 0; // 1-based call number that sets cancel_requested
};

int record_chunk(const unsigned char *bytes, unsigned count, void *context)
{
    Recorder *recorder = (Recorder *)context;
    recorder->counts.push_back(count);
    recorder->body.append((const char *)bytes, count);
    int call = (int)recorder->counts.size();
    if (call == recorder->cancel_at)
        InterlockedExchange(&run_state.cancel_requested, 1);
    return call == recorder->refuse_at ? 0 : 1;
}

int fetch(const std::string &path, Recorder *recorder)
{
    std::wstring url = SITE + std::wstring(path.begin(), path.end());
    return fetch_https(url.c_str(), record_chunk, recorder);
}

} // namespace

TEST_SUITE("fetch_https")
{
    TEST_CASE("a 200 body arrives whole, in pieces of at most 64 KiB, with the user agent")
    {
        reset_run_state();
        std::string data = pattern_bytes(300000);
        site_put("/fetch/big.bin", data);
        Recorder recorder;
        CHECK(fetch("/fetch/big.bin", &recorder) == 1);
        CHECK(recorder.body == data);
        for (unsigned count : recorder.counts) {
            CHECK(count >= 1);
            CHECK(count <= 65536);
        }
        std::string log = read_file(harness_path(L"site\\requests.log"));
        CHECK(log.find("\"path\": \"/fetch/big.bin\", \"user_agent\": \"TarvikInstaller/1.0\"") !=
              std::string::npos);
    }

    TEST_CASE("chunked, overlong and empty bodies")
    {
        reset_run_state();
        std::string data = pattern_bytes(70000, 2);
        site_put("/fetch/chunked.bin", data);
        site_fault("/fetch/chunked.bin", R"({"body": "chunked", "chunk_size": 7000})");
        Recorder chunked;
        CHECK(fetch("/fetch/chunked.bin", &chunked) == 1);
        CHECK(chunked.body == data);

        // Bytes beyond the announced length are not part of the body.
        site_put("/fetch/overlong.bin", data);
        site_fault("/fetch/overlong.bin", R"({"body": "overlong", "extra": 5000})");
        Recorder overlong;
        CHECK(fetch("/fetch/overlong.bin", &overlong) == 1);
        CHECK(overlong.body == data);

        // An empty 200 body is a complete transfer without any sink call.
        site_put("/fetch/empty.bin", "");
        Recorder empty;
        CHECK(fetch("/fetch/empty.bin", &empty) == 1);
        CHECK(empty.counts.empty());
    }

    TEST_CASE("every status but 200 fails without a sink call")
    {
        reset_run_state();
        site_put("/fetch/status.bin", pattern_bytes(5000));
        for (int status : {204, 206, 301, 404, 500}) {
            CAPTURE(status);
            site_fault("/fetch/status.bin", "{\"status\": " + std::to_string(status) + "}");
            Recorder recorder;
            int before = site_requests("/fetch/status.bin");
            CHECK(fetch("/fetch/status.bin", &recorder) == 0);
            CHECK(recorder.counts.empty());
            CHECK(site_requests("/fetch/status.bin") == before + 1);
        }
    }

    TEST_CASE("redirects: HTTPS to HTTPS is followed, HTTPS to HTTP is refused")
    {
        reset_run_state();
        std::string data = pattern_bytes(1234, 3);
        site_put("/fetch/target.bin", data);
        site_fault("/fetch/moved.bin",
                   R"({"status": 302, "location": "https://)" TARVIK_SITE_HOST_TEXT
                   R"(/fetch/target.bin"})");
        Recorder followed;
        CHECK(fetch("/fetch/moved.bin", &followed) == 1);
        CHECK(followed.body == data);

        // A plain-HTTP target is refused, whatever would answer there.
        site_fault("/fetch/downgrade.bin",
                   R"({"status": 302, "location": "http://)" TARVIK_SITE_HOST_TEXT
                   R"(/fetch/target.bin"})");
        Recorder refused;
        CHECK(fetch("/fetch/downgrade.bin", &refused) == 0);
        CHECK(refused.counts.empty());
    }

    TEST_CASE("only HTTPS URLs that fit their buffers are fetched")
    {
        reset_run_state();
        site_put("/fetch/plain.bin", "x");
        Recorder recorder;
        int before = site_requests("/fetch/plain.bin");
        CHECK(fetch_https(L"http://" SITE_HOST L"/fetch/plain.bin", record_chunk, &recorder) ==
              0);
        CHECK(fetch_https(L"ftp://localhost/fetch/plain.bin", record_chunk, &recorder) == 0);
        CHECK(fetch_https(L"not a url", record_chunk, &recorder) == 0);
        CHECK(site_requests("/fetch/plain.bin") == before);

        // The path buffer holds 1,023 units and the NUL.
        std::string fits = "/fetch/" + std::string(1023 - 7, 'p');
        before = site_requests(fits);
        CHECK(fetch(fits, &recorder) == 0); // 404, but the request was made
        CHECK(site_requests(fits) == before + 1);
        std::string too_long = fits + "q";
        before = site_requests(too_long);
        CHECK(fetch(too_long, &recorder) == 0);
        CHECK(site_requests(too_long) == before);

        // The host buffer holds 255 units and the NUL.
        std::wstring long_host = L"https://" + std::wstring(256, L'h') + L"/fetch/plain.bin";
        CHECK(fetch_https(long_host.c_str(), record_chunk, &recorder) == 0);
        CHECK(recorder.counts.empty());
    }

    TEST_CASE("a query goes to the server with the path")
    {
        reset_run_state();
        site_put("/fetch/query.bin", "q");
        Recorder recorder;
        int before = site_requests("/fetch/query.bin?v=1.4.2");
        CHECK(fetch("/fetch/query.bin?v=1.4.2", &recorder) == 1);
        CHECK(recorder.body == "q");
        CHECK(site_requests("/fetch/query.bin?v=1.4.2") == before + 1);
    }

    TEST_CASE("the URL's port is used, and the server certificate must be trusted")
    {
        reset_run_state();
        site_put("/fetch/port.bin", "port");
        Recorder recorder;
        // The twin on the next port serves the same files with a
        // certificate from no trusted authority.
        std::wstring untrusted = UNTRUSTED_SITE + L"/fetch/port.bin";
        CHECK(fetch_https(untrusted.c_str(), record_chunk, &recorder) == 0);
        // Without a port the default 443 is used, where nothing listens.
        CHECK(fetch_https(L"https://localhost/fetch/port.bin", record_chunk, &recorder) == 0);
        CHECK(recorder.counts.empty());
        CHECK(fetch("/fetch/port.bin", &recorder) == 1);
        CHECK(recorder.body == "port");
    }

    TEST_CASE("a refusing sink ends the transfer at once")
    {
        reset_run_state();
        site_put("/fetch/refused.bin", pattern_bytes(200000, 4));
        site_fault("/fetch/refused.bin", R"({"body": "slow", "chunk_size": 50000, "delay_ms": 50})");
        Recorder recorder;
        recorder.refuse_at = 1;
        CHECK(fetch("/fetch/refused.bin", &recorder) == 0);
        CHECK(recorder.counts.size() == 1);
    }

    TEST_CASE("cancellation is seen before each read")
    {
        reset_run_state();
        // Larger than one read: Wine's reads wait until the buffer is full.
        std::string data = pattern_bytes(200000, 5);
        site_put("/fetch/slow.bin", data);
        site_fault("/fetch/slow.bin", R"({"body": "slow", "chunk_size": 50000, "delay_ms": 50})");

        // Already set when the response arrives: no sink call at all.
        InterlockedExchange(&run_state.cancel_requested, 1);
        Recorder before;
        CHECK(fetch("/fetch/slow.bin", &before) == 0);
        CHECK(before.counts.empty());

        // Set during the body: the piece that was read still reaches the
        // sink, then the transfer fails before the next read.
        reset_run_state();
        Recorder during;
        during.cancel_at = 1;
        CHECK(fetch("/fetch/slow.bin", &during) == 0);
        CHECK(during.counts.size() == 1);
        CHECK(during.body.size() < data.size());
    }
}
