#pragma once
// The endpoint's certificate folders: own/ (the server's certificate and
// private key), trusted/ and issuers/ (each with certs/ and crl/), and
// rejected/ (client certificates refused, kept so that the operator can trust
// them). Certificates are DER files named after their thumbprint.
#include <windows.h>
#include <string>
#include <vector>

// One certificate as the dialog lists it.
struct UaCertificateRow {
    std::wstring file;            // full path
    std::wstring subject;         // the subject's distinguished name
    std::wstring applicationUri;  // the URI in its subject alternative name
    std::wstring thumbprint;      // SHA-1 of the DER, upper-case hex
    FILETIME validFrom{};
    FILETIME validTo{};
};

// The DER bytes of what a trust check needs.
struct UaTrustMaterial {
    std::vector<std::string> trusted;      // trusted/certs
    std::vector<std::string> trustedCrls;  // trusted/crl
    std::vector<std::string> issuers;      // issuers/certs
    std::vector<std::string> issuerCrls;   // issuers/crl
};

class UaPkiStore {
public:
    explicit UaPkiStore(std::wstring folder);

    // Makes the folders that are missing.
    bool Prepare(std::wstring& error) const;
    std::vector<UaCertificateRow> Trusted() const;
    std::vector<UaCertificateRow> Rejected() const;
    UaTrustMaterial LoadTrustMaterial() const;

    // A certificate file (DER or PEM) put into trusted/; false with the
    // reason when it is no certificate.
    bool TrustFile(const std::wstring& path, std::wstring& error) const;
    // A rejected certificate moved to trusted/, a trusted one to rejected/.
    bool Trust(const UaCertificateRow& row, std::wstring& error) const;
    bool Reject(const UaCertificateRow& row, std::wstring& error) const;
    bool Delete(const UaCertificateRow& row, std::wstring& error) const;
    // Keeps a refused client certificate in rejected/ (once); its path.
    std::wstring KeepRejected(const std::string& der) const;

    // The server's own certificate.
    bool OwnCertificate(UaCertificateRow& row) const;
    // Writes it as DER or PEM.
    bool ExportOwn(const std::wstring& path, bool pem, std::wstring& error) const;
    // Removes it, so that the endpoint makes a new one when it starts again.
    bool DiscardOwn(std::wstring& error) const;

    const std::wstring& Folder() const noexcept { return m_folder; }

private:
    std::wstring m_folder;
};
