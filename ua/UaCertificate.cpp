// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaCertificate.h"

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "FileTime.h"
#include "Text.h"
#include "UaCertificateFacts.h"
#include "UaCertificateMaker.h"
#include "UaPkiStore.h"
#include "WholeFile.h"

namespace {
constexpr wchar_t kPrivateFolder[] = L"own\\private";
constexpr int kValidDays = 5 * 365;
constexpr double kWarnDays = 30;
constexpr double kRenewDays = 7;
constexpr double kTicksPerDay = 864000000000.0;

std::wstring Day(const FILETIME& time) {
    SYSTEMTIME day{};
    FileTimeToSystemTime(&time, &day);
    return FormatText(L"%04u-%02u-%02u", day.wYear, day.wMonth, day.wDay);
}

std::wstring Joined(const std::vector<std::wstring>& names) {
    std::wstring text;
    for (const std::wstring& name : names) text += (text.empty() ? L"" : L", ") + name;
    return text;
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

std::string EndpointApplicationUri(const std::string& hostName) { return "urn:" + hostName + ":Zelkor:ToviExplorer"; }

bool LoadOrMakeCertificate(const std::wstring& pkiFolder, const std::string& applicationUri,
                           const std::string& hostName, const std::vector<std::string>& addresses, UaCertificate& out) {
    const UaPkiStore store(pkiFolder);
    const std::wstring certificatePath = store.OwnCertificatePath();
    const std::wstring keyPath = store.OwnKeyPath();
    const std::vector<std::string> names = ServerCertificateNames(applicationUri, hostName, addresses);
    if (ReadBytes(certificatePath, out.certificate) && ReadBytes(keyPath, out.privateKey)) {
        UaCertificateRow kept;
        const bool readable = ReadCertificate(
            std::string_view(reinterpret_cast<const char*>(out.certificate.data), out.certificate.length), kept);
        const double daysLeft =
            (static_cast<double>(FileTimeToU64(kept.validTo)) - static_cast<double>(FileTimeToU64(FileTimeNow()))) /
            kTicksPerDay;
        if (!readable) {
            out.notice = L"The OPC UA server certificate in " + pkiFolder + L" could not be read: a new one was made.";
        } else if (kept.applicationUri != FromUtf8(applicationUri)) {
            out.notice =
                L"The OPC UA server certificate named another application URI (was the computer renamed?): "
                L"a new one was made; clients that trusted the old one must trust the new one.";
        } else if (daysLeft <= kRenewDays) {
            out.notice = L"The OPC UA server certificate expires on " + Day(kept.validTo) +
                         L": a new one was made; clients that trusted the old one must trust the new one.";
        } else {
            if (daysLeft <= kWarnDays) {
                out.notice = L"The OPC UA server certificate expires on " + Day(kept.validTo) +
                             L"; a new one is made at the first start in its last week.";
            }
            // Kept all the same: a new certificate for every new address would
            // make each client that trusted the old one refuse the server.
            out.missingNames = MissingNames(kept, names);
            if (!out.missingNames.empty()) {
                out.notice += (out.notice.empty() ? L"" : L" ") +
                              std::wstring(L"The OPC UA server certificate does not name ") + Joined(out.missingNames) +
                              L": clients that reach this computer by those names may refuse it. A new certificate "
                              L"is offered in OPC UA Certificates (Renew).";
            }
            return true;
        }
    }
    UA_ByteString_clear(&out.certificate);
    UA_ByteString_clear(&out.privateKey);

    UaCertificateRequest request;
    request.subject = "CN=Tovi Explorer@" + hostName + ",O=Zelkor";
    request.names = names;
    request.lastDay = kValidDays;
    std::string certificate, key;
    if (!MakeCertificate(request, certificate, key, out.error)) {
        out.error = L"The server certificate could not be made: " + out.error;
        return false;
    }
    auto copy = [](const std::string& bytes, UA_ByteString& into) {
        const UA_ByteString borrowed{bytes.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(bytes.data()))};
        return UA_ByteString_copy(&borrowed, &into) == UA_STATUSCODE_GOOD;
    };
    const bool copied = copy(certificate, out.certificate) && copy(key, out.privateKey);
    SecureZeroMemory(key.data(), key.size());
    if (!copied) {
        out.error = L"The server certificate could not be made: out of memory.";
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
