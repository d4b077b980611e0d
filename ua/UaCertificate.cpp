// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaCertificate.h"

#include <aclapi.h>
#include <mbedtls/x509_crt.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "Text.h"
#include "UaCommon.h"
#include "WholeFile.h"

namespace {
constexpr wchar_t kCertificateFile[] = L"own\\certs\\ToviExplorer.der";
constexpr wchar_t kPrivateFolder[] = L"own\\private";
constexpr wchar_t kPrivateKeyFile[] = L"own\\private\\ToviExplorer.der";
constexpr UA_UInt16 kValidDays = 5 * 365;
constexpr double kWarnDays = 30;
constexpr double kRenewDays = 7;
constexpr double kTicksPerDay = 864000000000.0;

// What a kept certificate says of itself.
struct KeptCertificate {
    double daysLeft = 0;
    std::wstring expires;  // its last day, YYYY-MM-DD
    bool namesUri = false;
};

bool Inspect(const UA_ByteString& der, const std::string& applicationUri, KeptCertificate& kept) {
    mbedtls_x509_crt crt;
    mbedtls_x509_crt_init(&crt);
    if (mbedtls_x509_crt_parse_der(&crt, der.data, der.length) != 0) {
        mbedtls_x509_crt_free(&crt);
        return false;
    }
    SYSTEMTIME until{};
    until.wYear = static_cast<WORD>(crt.valid_to.year);
    until.wMonth = static_cast<WORD>(crt.valid_to.mon);
    until.wDay = static_cast<WORD>(crt.valid_to.day);
    until.wHour = static_cast<WORD>(crt.valid_to.hour);
    until.wMinute = static_cast<WORD>(crt.valid_to.min);
    until.wSecond = static_cast<WORD>(crt.valid_to.sec);
    FILETIME end{}, now{};
    GetSystemTimeAsFileTime(&now);
    const bool dated = SystemTimeToFileTime(&until, &end) != FALSE;
    auto ticks = [](const FILETIME& t) {
        return static_cast<double>((ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime);
    };
    kept.daysLeft = dated ? (ticks(end) - ticks(now)) / kTicksPerDay : 0;
    auto twoDigits = [](int n) { return (n < 10 ? L"0" : L"") + std::to_wstring(n); };
    kept.expires =
        std::to_wstring(crt.valid_to.year) + L"-" + twoDigits(crt.valid_to.mon) + L"-" + twoDigits(crt.valid_to.day);
    for (const mbedtls_x509_sequence* entry = &crt.subject_alt_names; entry != nullptr && entry->buf.p != nullptr;
         entry = entry->next) {
        mbedtls_x509_subject_alternative_name name;
        if (mbedtls_x509_parse_subject_alt_name(&entry->buf, &name) != 0) continue;
        if (name.type == MBEDTLS_X509_SAN_UNIFORM_RESOURCE_IDENTIFIER) {
            const mbedtls_x509_buf& uri = name.san.unstructured_name;
            kept.namesUri =
                kept.namesUri || std::string(reinterpret_cast<const char*>(uri.p), uri.len) == applicationUri;
        }
        mbedtls_x509_free_subject_alt_name(&name);
    }
    mbedtls_x509_crt_free(&crt);
    return dated;
}

// This computer's full DNS name in UTF-8 when it has one beside its host name.
std::string FullyQualifiedName() {
    wchar_t name[256];
    DWORD size = 256;
    return GetComputerNameExW(ComputerNameDnsFullyQualified, name, &size) ? ToUtf8(std::wstring_view(name, size))
                                                                          : std::string();
}

bool MakeFolders(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// Leaves the folder to its owner alone: no inherited entries, full control
// for the user running the program, nothing for anybody else.
bool RestrictToUser(const std::wstring& folder) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    std::vector<BYTE> buffer(256);
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
        buffer.resize(size);
        if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
            CloseHandle(token);
            return false;
        }
    }
    CloseHandle(token);
    LPWSTR sidText = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sidText)) return false;
    const std::wstring sddl = std::wstring(L"D:P(A;OICI;FA;;;") + sidText + L")";
    LocalFree(sidText);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return false;
    }
    const bool restricted =
        SetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor) !=
        FALSE;
    LocalFree(descriptor);
    return restricted;
}

bool ReadBytes(const std::wstring& path, UA_ByteString& out) {
    std::vector<BYTE> bytes;
    DWORD error = ERROR_SUCCESS;
    if (!ReadWholeFile(path, bytes, error) || bytes.empty()) return false;
    return UA_ByteString_allocBuffer(&out, bytes.size()) == UA_STATUSCODE_GOOD &&
           (std::copy(bytes.begin(), bytes.end(), out.data), true);
}

bool WriteBytes(const std::wstring& path, const UA_ByteString& bytes, DWORD& error) {
    return WriteFileReplacing(path, std::vector<BYTE>(bytes.data, bytes.data + bytes.length), error);
}
}  // namespace

UaCertificate::~UaCertificate() {
    UA_ByteString_clear(&certificate);
    UA_ByteString_clear(&privateKey);
}

bool LoadOrMakeCertificate(const std::wstring& pkiFolder, const std::string& applicationUri,
                           const std::string& hostName, UaCertificate& out) {
    const std::wstring certificatePath = pkiFolder + L"\\" + kCertificateFile;
    const std::wstring keyPath = pkiFolder + L"\\" + kPrivateKeyFile;
    if (ReadBytes(certificatePath, out.certificate) && ReadBytes(keyPath, out.privateKey)) {
        KeptCertificate kept;
        if (!Inspect(out.certificate, applicationUri, kept)) {
            out.notice = L"The OPC UA server certificate in " + pkiFolder + L" could not be read: a new one was made.";
        } else if (!kept.namesUri) {
            out.notice =
                L"The OPC UA server certificate named another application URI (was the computer renamed?): "
                L"a new one was made; clients that trusted the old one must trust the new one.";
        } else if (kept.daysLeft <= kRenewDays) {
            out.notice = L"The OPC UA server certificate expires on " + kept.expires +
                         L": a new one was made; clients that trusted the old one must trust the new one.";
        } else {
            if (kept.daysLeft <= kWarnDays) {
                out.notice = L"The OPC UA server certificate expires on " + kept.expires +
                             L"; a new one is made at the first start in its last week.";
            }
            return true;
        }
    }
    UA_ByteString_clear(&out.certificate);
    UA_ByteString_clear(&out.privateKey);

    std::vector<std::string> names{"URI:" + applicationUri, "DNS:localhost", "DNS:" + hostName};
    const std::string fullName = FullyQualifiedName();
    if (!fullName.empty() && fullName != hostName) names.push_back("DNS:" + fullName);
    names.push_back("IP:127.0.0.1");
    const UA_StatusCode status = MakeSelfSignedCertificate({"CN=Tovi Explorer@" + hostName, "O=Zelkor"}, names,
                                                           kValidDays, out.certificate, out.privateKey);
    if (status != UA_STATUSCODE_GOOD) {
        out.error = L"The server certificate could not be made: " + FromUtf8(UA_StatusCode_name(status)) + L".";
        return false;
    }
    out.made = true;
    const std::wstring privateFolder = pkiFolder + L"\\" + kPrivateFolder;
    DWORD error = ERROR_SUCCESS;
    if (!MakeFolders(pkiFolder + L"\\own\\certs") || !MakeFolders(privateFolder)) {
        error = GetLastError();
    } else if (!RestrictToUser(privateFolder)) {
        // A key that others could read is no key: it stays in memory for this run.
        error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_ACCESS_DENIED;
    } else if (WriteBytes(keyPath, out.privateKey, error)) {
        WriteBytes(certificatePath, out.certificate, error);
    }
    if (error != ERROR_SUCCESS) {
        // Served all the same; the next start makes another.
        out.error = L"The server certificate could not be kept in " + pkiFolder + L".";
    }
    return true;
}
