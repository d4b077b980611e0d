#pragma once
// Certificates made for one test run, and what the platform's own
// certificate functions (crypt32) read from them: a second reader that shares
// no code with mbedTLS.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "Text.h"
#include "UaCertificateMaker.h"

struct TestCertificate {
    std::string der;
    std::string key;
};

inline TestCertificate MakeTestCertificate(const UaCertificateRequest& request) {
    TestCertificate made;
    std::wstring error;
    EXPECT_TRUE(MakeCertificate(request, made.der, made.key, error)) << ToUtf8(error);
    return made;
}

// One key for every certificate that needs no key of its own: making RSA keys is slow.
inline const std::string& SharedTestKey() {
    static const std::string key = [] {
        UaCertificateRequest request;
        request.subject = "CN=key";
        return MakeTestCertificate(request).key;
    }();
    return key;
}

inline void WriteTestFile(const std::wstring& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

// The files of a folder, by name.
inline std::vector<std::wstring> FileNames(const std::wstring& folder) {
    std::vector<std::wstring> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A PKI folder of the test's own, removed whole at the end.
class PkiFolder {
public:
    ~PkiFolder() {
        std::error_code error;
        std::filesystem::remove_all(m_root.Path() + L"PKI", error);
    }
    std::wstring Path() const { return m_root.Path() + L"PKI"; }

private:
    TempFolder m_root;
};

// What crypt32 reads from a DER certificate.
struct PlatformFacts {
    std::wstring thumbprint;  // upper-case hex
    std::wstring subject;     // "CN=..., O=..." as the platform writes X.500 names
    FILETIME validFrom{};
    FILETIME validTo{};
    std::wstring uri;
    std::vector<std::wstring> dnsNames;
    std::vector<std::wstring> addresses;  // as text
};

inline PlatformFacts ReadWithPlatform(const std::string& der) {
    PlatformFacts facts;
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (CryptHashCertificate(0, CALG_SHA1, 0, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
                             hash, &size)) {
        for (DWORD i = 0; i < size; ++i) facts.thumbprint += FormatText(L"%02X", hash[i]);
    }
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                          static_cast<DWORD>(der.size()));
    if (context == nullptr) return facts;
    facts.validFrom = context->pCertInfo->NotBefore;
    facts.validTo = context->pCertInfo->NotAfter;
    wchar_t subject[512] = {};
    CertNameToStrW(X509_ASN_ENCODING, &context->pCertInfo->Subject, CERT_X500_NAME_STR, subject, 512);
    facts.subject = subject;
    const CERT_EXTENSION* extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, context->pCertInfo->cExtension, context->pCertInfo->rgExtension);
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD namesSize = 0;
    if (extension != nullptr &&
        CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                            CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &namesSize)) {
        for (DWORD i = 0; i < names->cAltEntry; ++i) {
            const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
            if (entry.dwAltNameChoice == CERT_ALT_NAME_URL) facts.uri = entry.pwszURL;
            if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) facts.dnsNames.push_back(entry.pwszDNSName);
            if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
                char text[64] = {};
                inet_ntop(entry.IPAddress.cbData == 4 ? AF_INET : AF_INET6, entry.IPAddress.pbData, text, sizeof text);
                facts.addresses.push_back(FromUtf8(text));
            }
        }
        LocalFree(names);
    }
    CertFreeCertificateContext(context);
    return facts;
}
