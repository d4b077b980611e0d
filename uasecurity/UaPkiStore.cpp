#include "UaPkiStore.h"

#include <mbedtls/x509_crl.h>

#include <algorithm>
#include <utility>

#include "EventLog.h"
#include "Text.h"

namespace {
// A certificate is a few kilobytes; anything far larger is not one.
constexpr DWORD kMostFileBytes = 1 << 20;

const wchar_t* const kFolders[] = {L"own\\certs",     L"trusted\\certs", L"trusted\\crl",
                                   L"issuers\\certs", L"issuers\\crl",   L"rejected\\certs"};

bool ReadBytes(const std::wstring& path, std::string& bytes, std::wstring& error) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = L"\"" + path + L"\" cannot be read: " + SystemErrorText(GetLastError()) + L".";
        return false;
    }
    LARGE_INTEGER size{};
    bool read = GetFileSizeEx(file, &size) && size.QuadPart <= kMostFileBytes;
    if (!read) {
        error = L"\"" + path + L"\" is too large for a certificate.";
    } else {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        read = bytes.empty() ||
               (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) && got == bytes.size());
        if (!read) error = L"\"" + path + L"\" cannot be read: " + SystemErrorText(GetLastError()) + L".";
    }
    CloseHandle(file);
    return read;
}

// `disposition` CREATE_NEW keeps a file that is already there.
bool WriteBytes(const std::wstring& path, const std::string& bytes, DWORD disposition, std::wstring& error) {
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (disposition == CREATE_NEW && GetLastError() == ERROR_FILE_EXISTS) return true;
        error = L"\"" + path + L"\" cannot be written: " + SystemErrorText(GetLastError()) + L".";
        return false;
    }
    DWORD written = 0;
    const bool whole =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
    if (!whole) error = L"\"" + path + L"\" cannot be written: " + SystemErrorText(GetLastError()) + L".";
    CloseHandle(file);
    if (!whole) DeleteFileW(path.c_str());
    return whole;
}

bool MakeFolder(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return files;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(folder + L"\\" + data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(files.begin(), files.end());
    return files;
}

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring NameOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The DER of the certificate in the file (DER or PEM).
bool ReadCertificateFile(const std::wstring& path, std::string& der, std::wstring& reason) {
    std::string bytes;
    return ReadBytes(path, bytes, reason) && CertificateDer(bytes, der, reason);
}

// The DER of the revocation list in the file (DER or PEM): one the stack's
// trust list cannot read would cost it every other entry.
bool ReadCrlFile(const std::wstring& path, std::string& der, std::wstring& reason) {
    std::string bytes;
    if (!ReadBytes(path, bytes, reason)) return false;
    mbedtls_x509_crl crl;
    mbedtls_x509_crl_init(&crl);
    // PEM is read up to a NUL counted in the length.
    const bool parsed =
        !bytes.empty() && mbedtls_x509_crl_parse(&crl, reinterpret_cast<const unsigned char*>(bytes.c_str()),
                                                 bytes.size() + (bytes[0] == '-' ? 1 : 0)) == 0;
    if (parsed) der.assign(reinterpret_cast<const char*>(crl.raw.p), crl.raw.len);
    mbedtls_x509_crl_free(&crl);
    if (!parsed) reason = L"\"" + path + L"\" holds no revocation list.";
    return parsed;
}
}  // namespace

UaPkiStore::UaPkiStore(std::wstring folder) : m_folder(std::move(folder)) {
    while (!m_folder.empty() && (m_folder.back() == L'\\' || m_folder.back() == L'/')) m_folder.pop_back();
}

bool UaPkiStore::Prepare(std::wstring& error) const {
    for (const wchar_t* folder : kFolders) {
        const std::wstring path = m_folder + L"\\" + folder;
        if (!MakeFolder(path)) {
            error = L"The folder \"" + path + L"\" cannot be made: " + SystemErrorText(GetLastError()) + L".";
            return false;
        }
    }
    return true;
}

std::vector<UaCertificateRow> UaPkiStore::List(const std::wstring& folder) const {
    std::vector<UaCertificateRow> rows;
    for (const std::wstring& file : FilesIn(folder)) {
        UaCertificateRow row;
        std::string der;
        if (ReadCertificateFile(file, der, row.problem)) ReadCertificate(der, row);
        row.file = file;
        rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const UaCertificateRow& a, const UaCertificateRow& b) {
        return FoldCase(a.subject) < FoldCase(b.subject);
    });
    return rows;
}

std::vector<UaCertificateRow> UaPkiStore::Trusted() const { return List(TrustedFolder()); }

std::vector<UaCertificateRow> UaPkiStore::Rejected() const { return List(RejectedFolder()); }

UaTrustMaterial UaPkiStore::LoadTrustMaterial() const {
    UaTrustMaterial material;
    auto certificates = [&](const wchar_t* folder, std::vector<std::string>& into) {
        for (const std::wstring& file : FilesIn(m_folder + L"\\" + folder)) {
            std::string der;
            std::wstring reason;
            if (ReadCertificateFile(file, der, reason)) {
                into.push_back(std::move(der));
            } else {
                material.unusable.push_back(file + L": " + reason);
            }
        }
    };
    auto crls = [&](const wchar_t* folder, std::vector<std::string>& into) {
        for (const std::wstring& file : FilesIn(m_folder + L"\\" + folder)) {
            std::string crl;
            std::wstring reason;
            if (ReadCrlFile(file, crl, reason)) {
                into.push_back(std::move(crl));
            } else {
                material.unusable.push_back(reason);
            }
        }
    };
    certificates(L"trusted\\certs", material.trusted);
    certificates(L"issuers\\certs", material.issuers);
    crls(L"trusted\\crl", material.trustedCrls);
    crls(L"issuers\\crl", material.issuerCrls);
    return material;
}

bool UaPkiStore::TrustFile(const std::wstring& path, std::wstring& error) const {
    std::string der;
    std::wstring reason;
    if (!ReadCertificateFile(path, der, reason)) {
        error = reason;
        return false;
    }
    if (!Prepare(error)) return false;
    const std::wstring name = Sha1Thumbprint(der) + L".der";
    if (!WriteBytes(TrustedFolder() + L"\\" + name, der, CREATE_ALWAYS, error)) return false;
    // Trusted now: no longer waiting among the refused.
    for (const UaCertificateRow& row : Rejected()) {
        if (row.thumbprint + L".der" == name || EqualsNoCase(NameOf(row.file), name)) DeleteFileW(row.file.c_str());
    }
    UaCertificateRow trusted;
    ReadCertificate(der, trusted);
    theEventLog << L"OPC UA client certificate trusted:" << trusted.subject << trusted.thumbprint << L"from " + path
                << EventLog::EndEntry;
    return true;
}

bool UaPkiStore::Move(const UaCertificateRow& row, const std::wstring& from, const std::wstring& to,
                      std::wstring& error) const {
    if (!EqualsNoCase(FolderOf(row.file), from)) {
        error = L"\"" + row.file + L"\" is not in \"" + from + L"\".";
        return false;
    }
    if (!Prepare(error)) return false;
    if (!MoveFileExW(row.file.c_str(), (to + L"\\" + NameOf(row.file)).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = L"\"" + row.file + L"\" cannot be moved: " + SystemErrorText(GetLastError()) + L".";
        return false;
    }
    return true;
}

bool UaPkiStore::Trust(const UaCertificateRow& row, std::wstring& error) const {
    if (!Move(row, RejectedFolder(), TrustedFolder(), error)) return false;
    theEventLog << L"OPC UA client certificate trusted:" << row.subject << row.thumbprint << EventLog::EndEntry;
    return true;
}

bool UaPkiStore::Reject(const UaCertificateRow& row, std::wstring& error) const {
    if (!Move(row, TrustedFolder(), RejectedFolder(), error)) return false;
    theEventLog << L"OPC UA client certificate no longer trusted:" << row.subject << row.thumbprint
                << EventLog::EndEntry;
    return true;
}

bool UaPkiStore::Delete(const UaCertificateRow& row, std::wstring& error) const {
    const std::wstring folder = FolderOf(row.file);
    if (!EqualsNoCase(folder, TrustedFolder()) && !EqualsNoCase(folder, RejectedFolder())) {
        error = L"\"" + row.file + L"\" is in neither the trusted nor the rejected certificates.";
        return false;
    }
    if (!DeleteFileW(row.file.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        error = L"\"" + row.file + L"\" cannot be deleted: " + SystemErrorText(GetLastError()) + L".";
        return false;
    }
    theEventLog << L"OPC UA client certificate deleted:" << row.subject << row.thumbprint << row.file
                << EventLog::EndEntry;
    return true;
}

std::wstring UaPkiStore::KeepRejected(const std::string& der) const {
    UaCertificateRow row;
    if (!ReadCertificate(der, row)) return std::wstring();
    const std::wstring name = row.thumbprint + L".der";
    if (GetFileAttributesW((TrustedFolder() + L"\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES) return std::wstring();
    const std::wstring path = RejectedFolder() + L"\\" + name;
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return path;
    std::wstring error;
    if (FilesIn(RejectedFolder()).size() >= kMostRejected || !Prepare(error)) return std::wstring();
    return WriteBytes(path, der, CREATE_NEW, error) ? path : std::wstring();
}

bool UaPkiStore::OwnCertificate(UaCertificateRow& row) const {
    std::string der;
    row = UaCertificateRow{};
    row.file = OwnCertificatePath();
    return ReadCertificateFile(row.file, der, row.problem) && ReadCertificate(der, row);
}

bool UaPkiStore::ExportOwn(const std::wstring& path, bool pem, std::wstring& error) const {
    std::string der;
    if (!ReadCertificateFile(OwnCertificatePath(), der, error)) return false;
    return WriteBytes(path, pem ? CertificatePem(der) : der, CREATE_ALWAYS, error);
}

bool UaPkiStore::DiscardOwn(std::wstring& error) const {
    for (const std::wstring& path : {OwnCertificatePath(), OwnKeyPath()}) {
        if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
            GetLastError() != ERROR_PATH_NOT_FOUND) {
            error = L"\"" + path + L"\" cannot be deleted: " + SystemErrorText(GetLastError()) + L".";
            return false;
        }
    }
    theEventLog << L"OPC UA server certificate discarded: a new one is made when the endpoint starts again"
                << EventLog::EndEntry;
    return true;
}
