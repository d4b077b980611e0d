// Winsock before any header that brings windows.h.
#include "UaLibrary.h"

#include "UaCertificate.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "Text.h"
#include "UaCommon.h"
#include "WholeFile.h"

namespace {
constexpr wchar_t kCertificateFile[] = L"own\\certs\\ToviExplorer.der";
constexpr wchar_t kPrivateFolder[] = L"own\\private";
constexpr wchar_t kPrivateKeyFile[] = L"own\\private\\ToviExplorer.der";

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
    if (ReadBytes(certificatePath, out.certificate) && ReadBytes(keyPath, out.privateKey)) return true;
    UA_ByteString_clear(&out.certificate);
    UA_ByteString_clear(&out.privateKey);

    const UA_StatusCode status =
        MakeSelfSignedCertificate({"CN=Tovi Explorer@" + hostName, "O=Zelkor"},
                                  {"URI:" + applicationUri, "DNS:localhost", "DNS:" + hostName, "IP:127.0.0.1"},
                                  5 * 365, out.certificate, out.privateKey);
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
