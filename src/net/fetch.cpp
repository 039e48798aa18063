#include "net/fetch.h"

#include <windows.h>
#include <winhttp.h>

#include "app/run_state.h"
#include "app/system_dll.h"

unsigned char transfer_buffer[TRANSFER_BUFFER_SIZE];

int fetch_https(const wchar_t *url, ChunkSink sink, void *context)
{
    wchar_t host[256];
    wchar_t path[1024];
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 1024;
    // A host or path longer than its buffer makes the split fail.
    if (!load_system_dll("WINHTTP.dll") || !WinHttpCrackUrl(url, 0, 0, &parts))
        return 0;
    if (parts.nScheme != INTERNET_SCHEME_HTTPS)
        return 0;

    int ok = 0;
    HINTERNET request = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET session = WinHttpOpen(L"TarvikInstaller/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    // Automatic proxy detection needs Windows 8.1; older systems refuse the
    // access type, so fall back to the configured default proxy.
    if (session == nullptr)
        session = WinHttpOpen(L"TarvikInstaller/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr)
        return 0;

    connection = WinHttpConnect(session, host, parts.nPort, 0);
    if (connection == nullptr)
        goto done;
    request = WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (request == nullptr)
        goto done;

    {
        DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
        WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
    }
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                            0, 0, 0))
        goto done;
    if (!WinHttpReceiveResponse(request, nullptr))
        goto done;

    {
        // A failed query leaves 0, which is refused like any status but 200.
        DWORD status = 0;
        DWORD status_size = sizeof status;
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size,
                            WINHTTP_NO_HEADER_INDEX);
        if (status != 200)
            goto done;
    }

    for (;;) {
        // The flag is checked between reads only: a blocked WinHTTP call
        // is not interrupted, its data still reaches the sink.
        if (run_state.cancel_requested != 0)
            goto done;
        DWORD count = 0;
        if (!WinHttpReadData(request, transfer_buffer, TRANSFER_BUFFER_SIZE, &count))
            goto done;
        if (count == 0)
            break;
        if (sink(transfer_buffer, count, context) == 0)
            goto done;
    }
    ok = 1;

done:
    if (request != nullptr)
        WinHttpCloseHandle(request);
    if (connection != nullptr)
        WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return ok;
}
