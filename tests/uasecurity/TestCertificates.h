#pragma once
// Certificates made for one test run, and what the platform's own
// certificate functions (crypt32) read from them: a second reader that shares
// no code with mbedTLS.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <mbedtls/asn1write.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/oid.h>
#include <mbedtls/sha256.h>
#include <mbedtls/x509_crt.h>

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

// A revocation list (v2, DER) signed by `issuer`, naming `revoked` as
// revoked since yesterday; mbedTLS writes certificates but no such lists.
inline std::string MakeRevocationList(const TestCertificate& issuer, const std::vector<std::string>& revoked) {
    mbedtls_x509_crt authority;
    mbedtls_x509_crt_init(&authority);
    mbedtls_x509_crt_parse_der(&authority, reinterpret_cast<const unsigned char*>(issuer.der.data()),
                               issuer.der.size());
    auto utcTime = [](int days) {
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER ticks{{now.dwLowDateTime, now.dwHighDateTime}};
        ticks.QuadPart += static_cast<ULONGLONG>(static_cast<LONGLONG>(days) * 864000000000LL);
        const FILETIME then{ticks.LowPart, ticks.HighPart};
        SYSTEMTIME time{};
        FileTimeToSystemTime(&then, &time);
        char text[16];
        snprintf(text, sizeof text, "%02u%02u%02u%02u%02u%02uZ", time.wYear % 100, time.wMonth, time.wDay, time.wHour,
                 time.wMinute, time.wSecond);
        return std::string(text);
    };
    // ASN.1 is written backwards, from the end of the buffer.
    std::vector<unsigned char> buffer(8192);
    unsigned char* const start = buffer.data();
    unsigned char* p = start + buffer.size();
    auto raw = [&](const std::string& bytes) {
        return static_cast<size_t>(mbedtls_asn1_write_raw_buffer(
            &p, start, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
    };
    auto wrap = [&](size_t length, unsigned char tag) {
        return length + static_cast<size_t>(mbedtls_asn1_write_len(&p, start, length)) +
               static_cast<size_t>(mbedtls_asn1_write_tag(&p, start, tag));
    };
    auto time = [&](int days) { return wrap(raw(utcTime(days)), MBEDTLS_ASN1_UTC_TIME); };
    size_t entries = 0;
    for (const std::string& der : revoked) {
        mbedtls_x509_crt crt;
        mbedtls_x509_crt_init(&crt);
        mbedtls_x509_crt_parse_der(&crt, reinterpret_cast<const unsigned char*>(der.data()), der.size());
        size_t entry = time(-1);
        entry +=
            wrap(raw(std::string(reinterpret_cast<const char*>(crt.serial.p), crt.serial.len)), MBEDTLS_ASN1_INTEGER);
        entries += wrap(entry, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE);
        mbedtls_x509_crt_free(&crt);
    }
    size_t tbs = wrap(entries, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE);
    tbs += time(30);
    tbs += time(-1);
    tbs += raw(std::string(reinterpret_cast<const char*>(authority.subject_raw.p), authority.subject_raw.len));
    tbs += static_cast<size_t>(mbedtls_asn1_write_algorithm_identifier(&p, start, MBEDTLS_OID_PKCS1_SHA256,
                                                                       MBEDTLS_OID_SIZE(MBEDTLS_OID_PKCS1_SHA256), 0));
    tbs += static_cast<size_t>(mbedtls_asn1_write_int(&p, start, 1));
    tbs = wrap(tbs, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE);
    const std::string signedPart(reinterpret_cast<const char*>(p), tbs);
    mbedtls_x509_crt_free(&authority);

    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context random;
    mbedtls_pk_context key;
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&random);
    mbedtls_pk_init(&key);
    mbedtls_ctr_drbg_seed(&random, mbedtls_entropy_func, &entropy, nullptr, 0);
    mbedtls_pk_parse_key(&key, reinterpret_cast<const unsigned char*>(issuer.key.data()), issuer.key.size(), nullptr, 0,
                         mbedtls_ctr_drbg_random, &random);
    unsigned char hash[32], signature[1024];
    size_t signatureLength = 0;
    mbedtls_sha256(reinterpret_cast<const unsigned char*>(signedPart.data()), signedPart.size(), hash, 0);
    EXPECT_EQ(0, mbedtls_pk_sign(&key, MBEDTLS_MD_SHA256, hash, sizeof hash, signature, sizeof signature,
                                 &signatureLength, mbedtls_ctr_drbg_random, &random));
    mbedtls_pk_free(&key);
    mbedtls_ctr_drbg_free(&random);
    mbedtls_entropy_free(&entropy);

    p = start + buffer.size();
    size_t list = static_cast<size_t>(mbedtls_asn1_write_bitstring(&p, start, signature, signatureLength * 8));
    list += static_cast<size_t>(mbedtls_asn1_write_algorithm_identifier(&p, start, MBEDTLS_OID_PKCS1_SHA256,
                                                                        MBEDTLS_OID_SIZE(MBEDTLS_OID_PKCS1_SHA256), 0));
    list += raw(signedPart);
    list = wrap(list, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE);
    return std::string(reinterpret_cast<const char*>(p), list);
}

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
