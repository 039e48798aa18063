#include "test_support.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>

#include "app/config.h"
#include "app/run_state.h"
#include "ui/progress_dialog.h"

void reset_run_state()
{
    run_state = RunState{PHASE_DOWNLOADING, 0, 0, 0, RESULT_NONE,
                         L"Getting the latest version\u2026", {}, {}};
    shown_phase = -1;
    countdown_observer = nullptr;
    countdown_pauses = 0;
}

const std::wstring SITE = L"https://" SITE_HOST;
const std::wstring UNTRUSTED_SITE =
    L"https://localhost:" + std::to_wstring(TARVIK_TEST_UNTRUSTED_PORT);

std::wstring harness_path(const std::wstring &relative)
{
    wchar_t base[1024];
    DWORD n = GetEnvironmentVariableW(L"TARVIK_HARNESS_DIR", base, 1024);
    return std::wstring(base, n) + L"\\" + relative;
}

std::wstring site_file_path(const std::string &url_path)
{
    std::wstring path = harness_path(L"site\\www");
    for (char c : url_path)
        path += c == '/' ? L'\\' : (wchar_t)(unsigned char)c;
    return path;
}

// Creates the folders on the way to `path` (not `path` itself).
static void make_parents(const std::wstring &path)
{
    for (size_t i = 3; (i = path.find(L'\\', i)) != std::wstring::npos; i++)
        CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
}

static void write_file(const std::wstring &path, const std::string &data)
{
    make_parents(path);
    FILE *file = _wfopen(path.c_str(), L"wb");
    if (file != nullptr) {
        fwrite(data.data(), 1, data.size(), file);
        fclose(file);
    }
}

void site_put(const std::string &url_path, const std::string &data)
{
    write_file(site_file_path(url_path), data);
}

void site_remove(const std::string &url_path)
{
    DeleteFileW(site_file_path(url_path).c_str());
}

void site_fault(const std::string &url_path, const std::string &json)
{
    if (json.empty())
        DeleteFileW(site_file_path(url_path + ".fault").c_str());
    else
        write_file(site_file_path(url_path + ".fault"), json);
}

int site_requests(const std::string &url_path)
{
    std::string log = read_file(harness_path(L"site\\requests.log"));
    std::string needle = "\"path\": \"" + url_path + "\"";
    int count = 0;
    for (size_t at = 0; (at = log.find(needle, at)) != std::string::npos; at += needle.size())
        count++;
    return count;
}

std::string pattern_bytes(size_t size, unsigned seed)
{
    std::string data(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i++) {
        state = state * 1103515245u + 12345u;
        data[i] = (char)(state >> 16);
    }
    return data;
}

std::string sha256_hex(const std::string &data)
{
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
    unsigned char digest[32];
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash, (PUCHAR)data.data(), (ULONG)data.size(), 0);
    BCryptFinishHash(hash, digest, 32, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    std::string hex;
    for (unsigned char byte : digest) {
        char two[3];
        snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    return hex;
}

std::string Manifest::text() const
{
    return "{\"version\": " + version + ", \"url\": " + url + ", \"sha256\": " + sha256 +
           ", \"size\": " + size + "}";
}

std::string quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

void publish_release(const std::string &setup, const std::string &version, const std::string &name)
{
    site_put("/downloads/" + name, setup);
    Manifest manifest;
    manifest.version = quoted(version);
    manifest.url = quoted(DOWNLOAD_URL_PREFIX + name);
    manifest.sha256 = quoted(sha256_hex(setup));
    manifest.size = std::to_string(setup.size());
    site_put("/windows-setup.json", manifest.text());
}

std::string read_file(const std::wstring &path)
{
    std::string data;
    FILE *file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr)
        return data;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        data.append(buffer, n);
    fclose(file);
    return data;
}

bool file_exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool wait_for_file(const std::wstring &path, int wait_ms)
{
    for (int waited = 0; waited < wait_ms && !file_exists(path); waited += 50)
        Sleep(50);
    return file_exists(path);
}

std::wstring temp_folder()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return temp;
}

std::string narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

std::wstring write_setup_plan(const std::string &plan)
{
    std::wstring path = harness_path(L"setup-plan.txt");
    write_file(path, plan);
    DeleteFileW((path + L".log").c_str());
    SetEnvironmentVariableW(L"TARVIK_TEST_SETUP_PLAN", path.c_str());
    return path;
}

std::vector<std::string> setup_runs()
{
    std::string log = read_file(harness_path(L"setup-plan.txt.log"));
    std::vector<std::string> runs;
    for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = log.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        runs.push_back(line.substr(line.find('\t') + 1));
    }
    return runs;
}

void install_test_setup(const std::wstring &path)
{
    CopyFileW(harness_path(L"fixtures\\setup-unsigned.exe").c_str(), path.c_str(), FALSE);
}

std::wstring test_app_path()
{
    return harness_path(L"..\\tests\\test_app.exe");
}

std::wstring install_test_app(const std::wstring &folder)
{
    make_parents(folder + L"\\");
    CopyFileW(test_app_path().c_str(), (folder + L"\\Tarvik.exe").c_str(), FALSE);
    DeleteFileW((folder + L"\\opened.log").c_str());
    return folder + L"\\Tarvik.exe";
}

bool app_opened(const std::wstring &folder, int wait_ms)
{
    return wait_for_file(folder + L"\\opened.log", wait_ms);
}
