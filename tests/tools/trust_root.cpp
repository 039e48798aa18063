// Adds DER certificates to the machine's trusted root store of the Wine
// prefix, so that the test site's server certificate and the test
// code-signing certificates chain to a trusted root.
//
//   trust_root.exe CERT.der [CERT.der ...]
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t **argv)
{
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) {
        fprintf(stderr, "cannot open the Root store: %lu\n", GetLastError());
        return 1;
    }
    int status = 0;
    for (int i = 1; i < argc; i++) {
        FILE *file = _wfopen(argv[i], L"rb");
        std::vector<unsigned char> der;
        if (file != nullptr) {
            unsigned char buffer[4096];
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
                der.insert(der.end(), buffer, buffer + n);
            fclose(file);
        }
        if (der.empty() ||
            !CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                              (DWORD)der.size(), CERT_STORE_ADD_REPLACE_EXISTING,
                                              nullptr)) {
            fprintf(stderr, "cannot add %ls: %lu\n", argv[i], GetLastError());
            status = 1;
        }
    }
    CertCloseStore(store, 0);
    return status;
}
