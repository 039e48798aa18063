// The platform floor of a download under Wine: only WinHTTP reads into one
// 64 KiB buffer and a CNG SHA-256 of what arrives, nothing written. The
// benchmark compares TarvikInstaller.exe --check with this.
//
//   platform_floor.exe https://host:port/path     prints the digest
#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <cstdio>

static unsigned char buffer[65536];

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2)
        return 2;
    wchar_t host[256], path[1024];
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 1024;
    if (!WinHttpCrackUrl(argv[1], 0, 0, &parts))
        return 1;
    HINTERNET session = WinHttpOpen(L"platform-floor", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = WinHttpConnect(session, host, parts.nPort, 0);
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            0, 0) ||
        !WinHttpReceiveResponse(request, nullptr))
        return 1;

    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    unsigned long long total = 0;
    for (;;) {
        DWORD count = 0;
        if (!WinHttpReadData(request, buffer, sizeof buffer, &count))
            return 1;
        if (count == 0)
            break;
        BCryptHashData(hash, buffer, count, 0);
        total += count;
    }
    unsigned char digest[32];
    BCryptFinishHash(hash, digest, 32, 0);
    for (unsigned char byte : digest)
        printf("%02x", byte);
    printf("  %llu bytes\n", total);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return 0;
}
