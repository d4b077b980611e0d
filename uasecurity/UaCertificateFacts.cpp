// Winsock before windows.h: the address conversions.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "UaCertificateFacts.h"

#include <mbedtls/pem.h>
#include <mbedtls/sha1.h>
#include <mbedtls/x509_crt.h>

#include "Text.h"

namespace {
constexpr char kPemBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kPemEnd[] = "-----END CERTIFICATE-----";

FILETIME FileTimeOf(const mbedtls_x509_time& time) {
    SYSTEMTIME system{};
    system.wYear = static_cast<WORD>(time.year);
    system.wMonth = static_cast<WORD>(time.mon);
    system.wDay = static_cast<WORD>(time.day);
    system.wHour = static_cast<WORD>(time.hour);
    system.wMinute = static_cast<WORD>(time.min);
    system.wSecond = static_cast<WORD>(time.sec);
    FILETIME file{};
    if (!SystemTimeToFileTime(&system, &file)) return FILETIME{};
    return file;
}

std::wstring TextOf(const mbedtls_x509_buf& buffer) {
    return FromUtf8(std::string_view(reinterpret_cast<const char*>(buffer.p), buffer.len));
}

std::wstring AddressText(const mbedtls_x509_buf& buffer) {
    char text[INET6_ADDRSTRLEN] = {};
    const int family = buffer.len == 4 ? AF_INET : AF_INET6;
    if (inet_ntop(family, buffer.p, text, sizeof text) == nullptr) return std::wstring();
    return FromUtf8(text);
}
}  // namespace

bool CertificateDer(std::string_view bytes, std::string& der, std::wstring& reason) {
    if (bytes.empty()) {
        reason = L"The file is empty.";
        return false;
    }
    mbedtls_x509_crt crt;
    mbedtls_x509_crt_init(&crt);
    const bool pem = bytes.find(kPemBegin) != std::string_view::npos;
    int result = 0;
    if (pem) {
        // mbedTLS reads PEM only up to a NUL that it counts in the length.
        const std::string text(bytes);
        result = mbedtls_x509_crt_parse(&crt, reinterpret_cast<const unsigned char*>(text.c_str()), text.size() + 1);
    } else {
        result = mbedtls_x509_crt_parse_der(&crt, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    }
    // A PEM file whose later blocks are damaged still gives its first certificate.
    const bool parsed = result >= 0 && crt.raw.len > 0;
    if (parsed) der.assign(reinterpret_cast<const char*>(crt.raw.p), crt.raw.len);
    mbedtls_x509_crt_free(&crt);
    if (parsed) return true;
    if (pem) {
        reason = L"The file's PEM certificate is damaged or incomplete.";
    } else if (static_cast<unsigned char>(bytes[0]) == 0x30) {
        reason = L"The certificate is damaged or incomplete.";
    } else {
        reason = L"The file holds no certificate (DER or PEM).";
    }
    return false;
}

bool ReadCertificate(std::string_view der, UaCertificateRow& row) {
    mbedtls_x509_crt crt;
    mbedtls_x509_crt_init(&crt);
    if (mbedtls_x509_crt_parse_der(&crt, reinterpret_cast<const unsigned char*>(der.data()), der.size()) != 0) {
        mbedtls_x509_crt_free(&crt);
        row.problem = L"Not a certificate";
        return false;
    }
    char name[1024];
    const int length = mbedtls_x509_dn_gets(name, sizeof name, &crt.subject);
    row.subject = length > 0 ? FromUtf8(std::string_view(name, static_cast<size_t>(length))) : std::wstring();
    row.thumbprint = Sha1Thumbprint(std::string_view(reinterpret_cast<const char*>(crt.raw.p), crt.raw.len));
    row.validFrom = FileTimeOf(crt.valid_from);
    row.validTo = FileTimeOf(crt.valid_to);
    row.keyBits = static_cast<unsigned>(mbedtls_pk_get_bitlen(&crt.pk));
    row.authority = mbedtls_x509_crt_get_ca_istrue(&crt) == 1;
    row.applicationUri.clear();
    row.names.clear();
    row.problem.clear();
    for (const mbedtls_x509_sequence* entry = &crt.subject_alt_names; entry != nullptr && entry->buf.p != nullptr;
         entry = entry->next) {
        mbedtls_x509_subject_alternative_name san;
        if (mbedtls_x509_parse_subject_alt_name(&entry->buf, &san) != 0) continue;
        switch (san.type) {
        case MBEDTLS_X509_SAN_UNIFORM_RESOURCE_IDENTIFIER:
            if (row.applicationUri.empty()) row.applicationUri = TextOf(san.san.unstructured_name);
            break;
        case MBEDTLS_X509_SAN_DNS_NAME: row.names.push_back(TextOf(san.san.unstructured_name)); break;
        case MBEDTLS_X509_SAN_IP_ADDRESS: row.names.push_back(AddressText(san.san.unstructured_name)); break;
        default: break;
        }
        mbedtls_x509_free_subject_alt_name(&san);
    }
    mbedtls_x509_crt_free(&crt);
    return true;
}

std::wstring Sha1Thumbprint(std::string_view der) {
    unsigned char digest[20];
    mbedtls_sha1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), digest);
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring text;
    for (unsigned char byte : digest) {
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 0x0F]);
    }
    return text;
}

std::string CertificatePem(std::string_view der) {
    // The header and footer are written as given: with their line ends.
    const std::string begin = std::string(kPemBegin) + "\n", end = std::string(kPemEnd) + "\n";
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
    size_t length = 0;
    mbedtls_pem_write_buffer(begin.c_str(), end.c_str(), bytes, der.size(), nullptr, 0, &length);
    std::string pem(length, '\0');
    if (mbedtls_pem_write_buffer(begin.c_str(), end.c_str(), bytes, der.size(),
                                 reinterpret_cast<unsigned char*>(pem.data()), pem.size(), &length) != 0) {
        return std::string();
    }
    pem.resize(length > 0 ? length - 1 : 0);  // the length counts the closing NUL
    return pem;
}

std::string AddressBytes(const std::string& text) {
    const std::string address = text.substr(0, text.find('%'));
    unsigned char bytes[16] = {};
    if (inet_pton(AF_INET, address.c_str(), bytes) == 1) return std::string(reinterpret_cast<char*>(bytes), 4);
    if (inet_pton(AF_INET6, address.c_str(), bytes) == 1) return std::string(reinterpret_cast<char*>(bytes), 16);
    return std::string();
}

std::vector<std::string> ServerCertificateNames(const std::string& applicationUri, const std::string& hostName,
                                                const std::vector<std::string>& addresses) {
    std::vector<std::string> names{"URI:" + applicationUri, "DNS:localhost", "DNS:" + hostName};
    wchar_t fullName[256];
    DWORD size = 256;
    if (GetComputerNameExW(ComputerNameDnsFullyQualified, fullName, &size) && size > 0) {
        const std::string full = ToUtf8(std::wstring_view(fullName, size));
        if (!EqualsNoCase(FromUtf8(full), FromUtf8(hostName))) names.push_back("DNS:" + full);
    }
    names.push_back("IP:127.0.0.1");
    const std::string loopback = AddressBytes("127.0.0.1");
    for (const std::string& address : addresses) {
        const std::string bytes = AddressBytes(address);
        if (bytes.empty() || bytes == loopback) continue;
        const std::string entry = "IP:" + address.substr(0, address.find('%'));
        bool named = false;
        for (const std::string& name : names) named = named || name == entry;
        if (!named) names.push_back(entry);
    }
    return names;
}

std::vector<std::wstring> MissingNames(const UaCertificateRow& certificate, const std::vector<std::string>& wanted) {
    std::vector<std::wstring> missing;
    for (const std::string& entry : wanted) {
        const bool dns = entry.rfind("DNS:", 0) == 0, ip = entry.rfind("IP:", 0) == 0;
        if (!dns && !ip) continue;
        const std::string value = entry.substr(dns ? 4 : 3);
        const std::string bytes = ip ? AddressBytes(value) : std::string();
        bool named = false;
        for (const std::wstring& name : certificate.names) {
            named = named || (dns ? EqualsNoCase(name, FromUtf8(value)) : AddressBytes(ToUtf8(name)) == bytes);
        }
        if (!named) missing.push_back(FromUtf8(value));
    }
    return missing;
}
