#include "UaCertificateMaker.h"

#include <windows.h>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>
#include <mbedtls/x509_crt.h>

#include <cstdio>
#include <list>

#include "UaCertificateFacts.h"

namespace {
constexpr LONGLONG kTicksPerDay = 864000000000LL;

// mbedTLS's form of a UTC time: YYYYMMDDhhmmss.
std::string DayFromNow(int days) {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    ticks.QuadPart = static_cast<ULONGLONG>(static_cast<LONGLONG>(ticks.QuadPart) + days * kTicksPerDay);
    const FILETIME then{ticks.LowPart, ticks.HighPart};
    SYSTEMTIME time{};
    FileTimeToSystemTime(&then, &time);
    char text[16];
    snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02u", time.wYear, time.wMonth, time.wDay, time.wHour,
             time.wMinute, time.wSecond);
    return text;
}

// Everything mbedTLS needs for one certificate, freed together.
struct Parts {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context random;
    mbedtls_pk_context key;
    mbedtls_pk_context issuerKey;
    mbedtls_x509_crt issuer;
    mbedtls_x509write_cert writer;
    Parts() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&random);
        mbedtls_pk_init(&key);
        mbedtls_pk_init(&issuerKey);
        mbedtls_x509_crt_init(&issuer);
        mbedtls_x509write_crt_init(&writer);
    }
    ~Parts() {
        mbedtls_x509write_crt_free(&writer);
        mbedtls_x509_crt_free(&issuer);
        mbedtls_pk_free(&issuerKey);
        mbedtls_pk_free(&key);
        mbedtls_ctr_drbg_free(&random);
        mbedtls_entropy_free(&entropy);
    }
    Parts(const Parts&) = delete;
    Parts& operator=(const Parts&) = delete;
};

bool ParseKey(Parts& parts, const std::string& der, mbedtls_pk_context& key) {
    return mbedtls_pk_parse_key(&key, reinterpret_cast<const unsigned char*>(der.data()), der.size(), nullptr, 0,
                                mbedtls_ctr_drbg_random, &parts.random) == 0;
}
}  // namespace

bool MakeCertificate(const UaCertificateRequest& request, std::string& certificate, std::string& key,
                     std::wstring& error) {
    Parts parts;
    static const char kPersonal[] = "tovi certificate";
    if (mbedtls_ctr_drbg_seed(&parts.random, mbedtls_entropy_func, &parts.entropy,
                              reinterpret_cast<const unsigned char*>(kPersonal), sizeof kPersonal - 1) != 0) {
        error = L"The system gave no random numbers.";
        return false;
    }
    if (!request.key.empty()) {
        if (!ParseKey(parts, request.key, parts.key)) {
            error = L"The key is no RSA key.";
            return false;
        }
    } else if (mbedtls_pk_setup(&parts.key, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)) != 0 ||
               mbedtls_rsa_gen_key(mbedtls_pk_rsa(parts.key), mbedtls_ctr_drbg_random, &parts.random, request.keyBits,
                                   65537) != 0) {
        error = L"No RSA key of " + std::to_wstring(request.keyBits) + L" bits could be made.";
        return false;
    }
    const bool selfSigned = request.issuerCertificate.empty();
    std::string issuerName = request.subject;
    if (!selfSigned) {
        char name[1024];
        int length = -1;
        if (mbedtls_x509_crt_parse_der(&parts.issuer,
                                       reinterpret_cast<const unsigned char*>(request.issuerCertificate.data()),
                                       request.issuerCertificate.size()) == 0) {
            length = mbedtls_x509_dn_gets(name, sizeof name, &parts.issuer.subject);
        }
        if (length < 0 || !ParseKey(parts, request.issuerKey, parts.issuerKey)) {
            error = L"The issuer's certificate or key cannot be read.";
            return false;
        }
        issuerName.assign(name, static_cast<size_t>(length));
    }

    mbedtls_x509write_cert& writer = parts.writer;
    mbedtls_x509write_crt_set_version(&writer, MBEDTLS_X509_CRT_VERSION_3);
    mbedtls_x509write_crt_set_md_alg(&writer, MBEDTLS_MD_SHA256);
    mbedtls_x509write_crt_set_subject_key(&writer, &parts.key);
    mbedtls_x509write_crt_set_issuer_key(&writer, selfSigned ? &parts.key : &parts.issuerKey);
    // A random serial: a renewed certificate must differ from the one it replaces.
    unsigned char serial[16];
    mbedtls_ctr_drbg_random(&parts.random, serial, sizeof serial);
    serial[0] = static_cast<unsigned char>((serial[0] & 0x7F) | 0x40);
    const std::string notBefore = DayFromNow(request.firstDay), notAfter = DayFromNow(request.lastDay);
    unsigned keyUsage = request.keyUsage;
    if (keyUsage == 0) {
        keyUsage = MBEDTLS_X509_KU_DIGITAL_SIGNATURE | MBEDTLS_X509_KU_NON_REPUDIATION |
                   MBEDTLS_X509_KU_KEY_ENCIPHERMENT | MBEDTLS_X509_KU_DATA_ENCIPHERMENT;
        // Clients expect a self-signed certificate to be able to sign itself.
        if (selfSigned || request.authority) keyUsage |= MBEDTLS_X509_KU_KEY_CERT_SIGN | MBEDTLS_X509_KU_CRL_SIGN;
    }

    // The alternative names; the list borrows the texts and address bytes kept here.
    std::list<std::string> values;
    std::list<mbedtls_x509_san_list> names;
    for (const std::string& entry : request.names) {
        const size_t colon = entry.find(':');
        const std::string kind = entry.substr(0, colon),
                          value = colon == std::string::npos ? "" : entry.substr(colon + 1);
        mbedtls_x509_san_list node{};
        if (kind == "URI") {
            node.node.type = MBEDTLS_X509_SAN_UNIFORM_RESOURCE_IDENTIFIER;
            values.push_back(value);
        } else if (kind == "DNS") {
            node.node.type = MBEDTLS_X509_SAN_DNS_NAME;
            values.push_back(value);
        } else if (kind == "IP") {
            node.node.type = MBEDTLS_X509_SAN_IP_ADDRESS;
            values.push_back(AddressBytes(value));
        } else {
            continue;
        }
        if (values.back().empty()) {
            error = L"Not a name for a certificate: " + std::wstring(entry.begin(), entry.end());
            return false;
        }
        node.node.san.unstructured_name.p = reinterpret_cast<unsigned char*>(values.back().data());
        node.node.san.unstructured_name.len = values.back().size();
        names.push_back(node);
        if (names.size() > 1) std::prev(names.end(), 2)->next = &names.back();
    }

    // Client and server authentication: the same certificate serves both ways.
    mbedtls_asn1_sequence usages[2]{};
    usages[0].buf = {MBEDTLS_ASN1_OID, MBEDTLS_OID_SIZE(MBEDTLS_OID_SERVER_AUTH),
                     reinterpret_cast<unsigned char*>(const_cast<char*>(MBEDTLS_OID_SERVER_AUTH))};
    usages[0].next = &usages[1];
    usages[1].buf = {MBEDTLS_ASN1_OID, MBEDTLS_OID_SIZE(MBEDTLS_OID_CLIENT_AUTH),
                     reinterpret_cast<unsigned char*>(const_cast<char*>(MBEDTLS_OID_CLIENT_AUTH))};

    const bool described =
        mbedtls_x509write_crt_set_subject_name(&writer, request.subject.c_str()) == 0 &&
        mbedtls_x509write_crt_set_issuer_name(&writer, issuerName.c_str()) == 0 &&
        mbedtls_x509write_crt_set_serial_raw(&writer, serial, sizeof serial) == 0 &&
        mbedtls_x509write_crt_set_validity(&writer, notBefore.c_str(), notAfter.c_str()) == 0 &&
        mbedtls_x509write_crt_set_basic_constraints(&writer, request.authority ? 1 : 0, -1) == 0 &&
        mbedtls_x509write_crt_set_subject_key_identifier(&writer) == 0 &&
        mbedtls_x509write_crt_set_authority_key_identifier(&writer) == 0 &&
        mbedtls_x509write_crt_set_key_usage(&writer, keyUsage) == 0 &&
        (request.authority || mbedtls_x509write_crt_set_ext_key_usage(&writer, usages) == 0) &&
        (names.empty() || mbedtls_x509write_crt_set_subject_alternative_name(&writer, &names.front()) == 0);
    if (!described) {
        error = L"The certificate's subject, names or dates were refused.";
        return false;
    }
    std::string buffer(16384, '\0');
    auto* start = reinterpret_cast<unsigned char*>(buffer.data());
    int length = mbedtls_x509write_crt_der(&writer, start, buffer.size(), mbedtls_ctr_drbg_random, &parts.random);
    if (length <= 0) {
        error = L"The certificate could not be signed.";
        return false;
    }
    certificate.assign(buffer, buffer.size() - static_cast<size_t>(length), static_cast<size_t>(length));
    length = mbedtls_pk_write_key_der(&parts.key, start, buffer.size());
    if (length <= 0) {
        error = L"The private key could not be written.";
        return false;
    }
    key.assign(buffer, buffer.size() - static_cast<size_t>(length), static_cast<size_t>(length));
    mbedtls_platform_zeroize(start, buffer.size());
    return true;
}
