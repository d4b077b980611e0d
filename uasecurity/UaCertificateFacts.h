#pragma once
// What an X.509 certificate says of itself, read with mbedTLS: what the
// certificate folders list, the dialog shows and the trust check reports.
#include <windows.h>
#include <string>
#include <string_view>
#include <vector>

// One certificate as the folders and the dialog list it.
struct UaCertificateRow {
    std::wstring file;                // full path; empty for one that is in no folder
    std::wstring subject;             // the subject's distinguished name
    std::wstring applicationUri;      // the URI in its subject alternative name
    std::vector<std::wstring> names;  // its DNS names and IP addresses
    std::wstring thumbprint;          // SHA-1 of the DER, upper-case hex
    FILETIME validFrom{};
    FILETIME validTo{};
    unsigned keyBits = 0;
    bool authority = false;  // may issue certificates
    std::wstring problem;    // why the file is no certificate; the rest is then empty
};

// The DER of the first certificate in `bytes`, which hold DER or PEM. False,
// with the reason in words, for anything else.
bool CertificateDer(std::string_view bytes, std::string& der, std::wstring& reason);
// The facts of a DER certificate; false with `row.problem` set when it is none.
bool ReadCertificate(std::string_view der, UaCertificateRow& row);
// SHA-1 of the bytes, upper-case hex.
std::wstring Sha1Thumbprint(std::string_view der);
// The certificate as PEM text ("-----BEGIN CERTIFICATE-----").
std::string CertificatePem(std::string_view der);
// An IP address in text (v4, or v6 without a zone) as its 4 or 16 bytes;
// empty when it is no address.
std::string AddressBytes(const std::string& text);

// The names the server's certificate gives, as the maker takes them: its
// application URI, localhost, the host name and the computer's full DNS name,
// 127.0.0.1, and each address it listens on.
std::vector<std::string> ServerCertificateNames(const std::string& applicationUri, const std::string& hostName,
                                                const std::vector<std::string>& addresses);
// The DNS names and addresses of `wanted` (as ServerCertificateNames gives
// them) that the certificate does not name, without their "DNS:" or "IP:".
std::vector<std::wstring> MissingNames(const UaCertificateRow& certificate, const std::vector<std::string>& wanted);
