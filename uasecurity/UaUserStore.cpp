#include "UaUserStore.h"

#include <windows.h>
#include <bcrypt.h>
#include <mbedtls/pkcs5.h>
#include <sddl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "Text.h"

namespace {
// The first line names the file's kind; a file without it is not ours.
const char kHeader[] = "Tovi Explorer OPC UA users 1";
const char kScheme[] = "pbkdf2-sha256";
// Slow enough to make guessing costly, quick enough for a login (about 0.1 s).
constexpr unsigned kRounds = 120000;
constexpr size_t kSaltBytes = 16;
constexpr size_t kKeyBytes = 32;
constexpr size_t kMostNameChars = 128;

std::string Hex(const unsigned char* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

bool FromHex(std::string_view text, std::vector<unsigned char>& bytes) {
    if (text.size() % 2 != 0) return false;
    auto nibble = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = nibble(text[i]), low = nibble(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return true;
}

bool Derive(std::string_view password, const std::vector<unsigned char>& salt, unsigned rounds,
            std::array<unsigned char, kKeyBytes>& key) {
    return mbedtls_pkcs5_pbkdf2_hmac_ext(MBEDTLS_MD_SHA256, reinterpret_cast<const unsigned char*>(password.data()),
                                         password.size(), salt.data(), salt.size(), rounds, kKeyBytes, key.data()) == 0;
}

// "pbkdf2-sha256$ROUNDS$SALT$KEY", hex; false when it is not of that form.
bool ParseHash(const std::string& hash, unsigned& rounds, std::vector<unsigned char>& salt,
               std::vector<unsigned char>& key) {
    const size_t a = hash.find('$'), b = hash.find('$', a + 1), c = hash.find('$', b + 1);
    if (a == std::string::npos || b == std::string::npos || c == std::string::npos || hash.substr(0, a) != kScheme) {
        return false;
    }
    const std::string count = hash.substr(a + 1, b - a - 1);
    if (count.empty() || count.size() > 9 ||
        !std::all_of(count.begin(), count.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    rounds = static_cast<unsigned>(std::stoul(count));
    return rounds >= 1 && FromHex(std::string_view(hash).substr(b + 1, c - b - 1), salt) && !salt.empty() &&
           FromHex(std::string_view(hash).substr(c + 1), key) && key.size() == kKeyBytes;
}

bool MakeHash(std::string_view password, std::string& hash) {
    std::vector<unsigned char> salt(kSaltBytes);
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, salt.data(), static_cast<ULONG>(salt.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        return false;
    }
    std::array<unsigned char, kKeyBytes> key{};
    if (!Derive(password, salt, kRounds, key)) return false;
    hash = std::string(kScheme) + "$" + std::to_string(kRounds) + "$" + Hex(salt.data(), salt.size()) + "$" +
           Hex(key.data(), key.size());
    return true;
}

// Compares the whole key whatever differs first.
bool Matches(std::string_view password, const std::string& hash) {
    unsigned rounds = 0;
    std::vector<unsigned char> salt, expected;
    if (!ParseHash(hash, rounds, salt, expected)) return false;
    std::array<unsigned char, kKeyBytes> key{};
    if (!Derive(password, salt, rounds, key)) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < kKeyBytes; ++i) difference |= static_cast<unsigned char>(key[i] ^ expected[i]);
    return difference == 0;
}

// A name a client can type and the file can hold: no control characters,
// no space at either end.
bool UsableName(const std::wstring& name, std::wstring& error) {
    if (name.empty() || name.size() > kMostNameChars) {
        error = L"A user name has 1 to " + std::to_wstring(kMostNameChars) + L" characters.";
        return false;
    }
    if (std::any_of(name.begin(), name.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; }) ||
        name.front() == L' ' || name.back() == L' ') {
        error = L"A user name may not hold control characters or begin or end with a space.";
        return false;
    }
    if (FromUtf8(ToUtf8(name)) != name) {
        error = L"The user name is not valid text.";
        return false;
    }
    return true;
}

// The file's access list: the user who runs the program, the administrators
// and the system; nothing inherited.
bool OwnerOnlyAttributes(SECURITY_ATTRIBUTES& attributes, PSECURITY_DESCRIPTOR& descriptor) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    std::vector<BYTE> buffer(256);
    DWORD size = 0;
    bool known = GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
    if (!known && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(size);
        known = GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    }
    CloseHandle(token);
    LPWSTR sid = nullptr;
    if (!known || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) return false;
    const std::wstring sddl = std::wstring(L"D:P(A;;FA;;;") + sid + L")(A;;FA;;;BA)(A;;FA;;;SY)";
    LocalFree(sid);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return false;
    }
    attributes = {sizeof attributes, descriptor, FALSE};
    return true;
}

// The next tab-separated field of a line.
std::string_view Field(std::string_view& line) {
    const size_t tab = line.find('\t');
    const std::string_view field = line.substr(0, tab);
    line = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
    return field;
}
}  // namespace

UaUserStore::UaUserStore(std::wstring path) : m_path(std::move(path)) {}

bool UaUserStore::Load(std::wstring& error) {
    m_entries.clear();
    HANDLE file = CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
        error = L"The OPC UA users cannot be read from " + m_path + L": " + SystemErrorText(code);
        return false;
    }
    LARGE_INTEGER size{};
    std::string text;
    DWORD read = 0;
    // A store of thousands of users is well below this.
    const bool readable = GetFileSizeEx(file, &size) && size.QuadPart < (16 << 20);
    if (readable) {
        text.resize(static_cast<size_t>(size.QuadPart));
        if (!ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) read = 0;
    }
    CloseHandle(file);
    if (!readable || read != text.size()) {
        error = L"The OPC UA users cannot be read from " + m_path + L".";
        return false;
    }
    std::vector<Entry> entries;
    size_t at = 0;
    bool headerSeen = false;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!headerSeen) {
            headerSeen = line == kHeader;
            if (!headerSeen) break;
            continue;
        }
        if (line.empty()) continue;
        Entry entry;
        entry.name = FromUtf8(Field(line));
        const std::string_view role = Field(line);
        entry.hash = std::string(Field(line));
        unsigned rounds = 0;
        std::vector<unsigned char> salt, key;
        std::wstring nameError;
        if (!UsableName(entry.name, nameError) || (role != "read" && role != "readwrite") ||
            !ParseHash(entry.hash, rounds, salt, key)) {
            headerSeen = false;
            break;
        }
        entry.role = role == "readwrite" ? UaRole::ReadWrite : UaRole::Read;
        entries.push_back(std::move(entry));
    }
    if (!headerSeen) {
        error = L"The file " + m_path + L" is not a store of OPC UA users: no user is accepted.";
        return false;
    }
    m_entries = std::move(entries);
    return true;
}

bool UaUserStore::Save(std::wstring& error) const {
    std::string text = std::string(kHeader) + "\r\n";
    for (const Entry& entry : m_entries) {
        text += ToUtf8(entry.name) + "\t" + (entry.role == UaRole::ReadWrite ? "readwrite" : "read") + "\t" +
                entry.hash + "\r\n";
    }
    const std::wstring folder = m_path.substr(0, m_path.find_last_of(L'\\'));
    for (size_t at = folder.find(L'\\', 3); at != std::wstring::npos; at = folder.find(L'\\', at + 1)) {
        CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(folder.c_str(), nullptr);
    SECURITY_ATTRIBUTES attributes{};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!OwnerOnlyAttributes(attributes, descriptor)) {
        error = L"The OPC UA users cannot be protected: " + SystemErrorText(GetLastError());
        return false;
    }
    const std::wstring fresh = m_path + L".new";
    HANDLE file = CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_ALWAYS, 0, nullptr);
    LocalFree(descriptor);
    DWORD written = 0;
    bool saved = file != INVALID_HANDLE_VALUE &&
                 WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                 written == text.size() && FlushFileBuffers(file);
    DWORD code = GetLastError();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (saved) {
        saved = MoveFileExW(fresh.c_str(), m_path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        code = GetLastError();
    }
    if (!saved) {
        DeleteFileW(fresh.c_str());
        error = L"The OPC UA users cannot be saved in " + m_path + L": " + SystemErrorText(code);
    }
    return saved;
}

std::vector<UaUser> UaUserStore::Users() const {
    std::vector<UaUser> users;
    for (const Entry& entry : m_entries) users.push_back({entry.name, entry.role});
    std::sort(users.begin(), users.end(), [](const UaUser& a, const UaUser& b) { return a.name < b.name; });
    return users;
}

bool UaUserStore::Contains(std::wstring_view name) const {
    return std::any_of(m_entries.begin(), m_entries.end(), [name](const Entry& e) { return e.name == name; });
}

bool UaUserStore::Set(const std::wstring& name, UaRole role, std::string_view passwordUtf8, std::wstring& error) {
    if (!UsableName(name, error)) return false;
    if (passwordUtf8.empty()) {
        error = L"A user needs a password.";
        return false;
    }
    // HMAC pads a short key with zeros: "pw" and "pw\0" would hash alike.
    if (passwordUtf8.find('\0') != std::string_view::npos) {
        error = L"A password may not hold a NUL character.";
        return false;
    }
    std::string hash;
    if (!MakeHash(passwordUtf8, hash)) {
        error = L"The password could not be hashed.";
        return false;
    }
    const auto at =
        std::find_if(m_entries.begin(), m_entries.end(), [&name](const Entry& e) { return e.name == name; });
    if (at != m_entries.end()) {
        at->role = role;
        at->hash = std::move(hash);
    } else {
        m_entries.push_back({name, role, std::move(hash)});
    }
    return true;
}

bool UaUserStore::SetRole(const std::wstring& name, UaRole role) {
    const auto at =
        std::find_if(m_entries.begin(), m_entries.end(), [&name](const Entry& e) { return e.name == name; });
    if (at == m_entries.end()) return false;
    at->role = role;
    return true;
}

bool UaUserStore::Remove(const std::wstring& name) {
    const auto at =
        std::find_if(m_entries.begin(), m_entries.end(), [&name](const Entry& e) { return e.name == name; });
    if (at == m_entries.end()) return false;
    m_entries.erase(at);
    return true;
}

std::optional<UaRole> UaUserStore::Verify(std::string_view nameUtf8, std::string_view passwordUtf8) const {
    // An unknown name pays for one derivation as well, against a hash of the
    // same cost, so that it is not answered sooner than a wrong password.
    static const std::string decoy = [] {
        std::string hash;
        MakeHash("decoy", hash);
        return hash;
    }();
    const std::wstring name = FromUtf8(nameUtf8);
    const bool exact = ToUtf8(name) == nameUtf8;
    const auto at = std::find_if(m_entries.begin(), m_entries.end(),
                                 [&name, exact](const Entry& e) { return exact && e.name == name; });
    const bool matches = Matches(passwordUtf8, at != m_entries.end() ? at->hash : decoy);
    if (at == m_entries.end() || !matches || passwordUtf8.empty()) return std::nullopt;
    return at->role;
}
