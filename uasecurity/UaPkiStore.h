#pragma once
// The endpoint's certificate folders, below one PKI folder:
//   own\certs\ToviExplorer.der     the server's certificate
//   own\private\ToviExplorer.der   its private key (the folder: its owner only)
//   trusted\certs, trusted\crl     client certificates (or their issuers) trusted, and revocation lists
//   issuers\certs, issuers\crl     issuers that complete a chain without being trusted themselves
//   rejected\certs                 client certificates refused, kept so that the operator can trust them
// A certificate is put in a folder as DER named after its thumbprint; files
// put there by hand may be DER or PEM under any name.
#include <windows.h>
#include <string>
#include <vector>

#include "UaCertificateFacts.h"
#include "UaSecuritySettings.h"

// The DER bytes of what a trust check needs.
struct UaTrustMaterial {
    std::vector<std::string> trusted;      // trusted/certs
    std::vector<std::string> trustedCrls;  // trusted/crl
    std::vector<std::string> issuers;      // issuers/certs
    std::vector<std::string> issuerCrls;   // issuers/crl
    std::vector<std::wstring> unusable;    // files left out, each with why
};

class UaPkiStore {
public:
    explicit UaPkiStore(std::wstring folder = UaPkiFolder());

    // Makes the folders that are missing.
    bool Prepare(std::wstring& error) const;
    // The certificates of trusted/ and rejected/, by subject; a file that is
    // no certificate is listed with its problem, so that it can be deleted.
    std::vector<UaCertificateRow> Trusted() const;
    std::vector<UaCertificateRow> Rejected() const;
    UaTrustMaterial LoadTrustMaterial() const;

    // A certificate file (DER or PEM) put into trusted/ (and out of
    // rejected/); false with the reason when it is no certificate.
    bool TrustFile(const std::wstring& path, std::wstring& error) const;
    // A rejected certificate moved to trusted/, a trusted one to rejected/;
    // rows from any other folder are refused.
    bool Trust(const UaCertificateRow& row, std::wstring& error) const;
    bool Reject(const UaCertificateRow& row, std::wstring& error) const;
    bool Delete(const UaCertificateRow& row, std::wstring& error) const;
    // Keeps a refused client certificate in rejected/ (once); its path there.
    // Empty when it is no certificate, already trusted (refused for another
    // reason than trust) or rejected/ is full.
    std::wstring KeepRejected(const std::string& der) const;

    // The server's own certificate.
    bool OwnCertificate(UaCertificateRow& row) const;
    // Writes it as DER or PEM.
    bool ExportOwn(const std::wstring& path, bool pem, std::wstring& error) const;
    // Removes it and its key (nothing else of own/), so that the endpoint
    // makes a new one when it starts again.
    bool DiscardOwn(std::wstring& error) const;

    const std::wstring& Folder() const noexcept { return m_folder; }
    std::wstring OwnCertificatePath() const { return m_folder + L"\\own\\certs\\ToviExplorer.der"; }
    std::wstring OwnKeyPath() const { return m_folder + L"\\own\\private\\ToviExplorer.der"; }
    std::wstring TrustedFolder() const { return m_folder + L"\\trusted\\certs"; }
    std::wstring RejectedFolder() const { return m_folder + L"\\rejected\\certs"; }

    // rejected/ keeps no more than this: clients from anywhere cannot fill the disk.
    static constexpr size_t kMostRejected = 200;

private:
    std::vector<UaCertificateRow> List(const std::wstring& folder) const;
    bool Move(const UaCertificateRow& row, const std::wstring& from, const std::wstring& to, std::wstring& error) const;

    std::wstring m_folder;
};
