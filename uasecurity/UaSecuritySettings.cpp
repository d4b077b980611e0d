#include "UaSecuritySettings.h"

#include <atomic>

#include "EventLog.h"
#include "OPCS_Registry.h"
#include "ProgramPaths.h"
#include "RegIO.h"

namespace {
const wchar_t kRemote[] = L"OPC UA Remote";
const wchar_t kAllowUnsecured[] = L"OPC UA Allow Unsecured";
const wchar_t kAllowAnonymous[] = L"OPC UA Allow Anonymous";
const wchar_t kAnonymousRole[] = L"OPC UA Anonymous Role";
const wchar_t kRevision[] = L"OPC UA Security Revision";

std::atomic<std::uint32_t> g_countedHere{0};

std::wstring KeyOf(const std::wstring& keyPath) { return keyPath.empty() ? SettingsKeyPath() : keyPath; }

const wchar_t* OnOff(bool on) { return on ? L"on" : L"off"; }
}  // namespace

std::wstring RoleName(UaRole role) { return role == UaRole::ReadWrite ? L"Read/Write" : L"Read"; }

std::optional<UaRole> ParseRoleWord(std::wstring_view word) {
    const std::wstring text(word);
    if (CompareStringOrdinal(text.c_str(), -1, L"read", -1, TRUE) == CSTR_EQUAL) return UaRole::Read;
    if (CompareStringOrdinal(text.c_str(), -1, L"readwrite", -1, TRUE) == CSTR_EQUAL) return UaRole::ReadWrite;
    return std::nullopt;
}

UaRole UaSecuritySettings::AnonymousRole() const noexcept {
    if (anonymousRole) return *anonymousRole;
    return remote ? UaRole::Read : UaRole::ReadWrite;
}

bool UaSecuritySettings::ListensAsOther(const UaSecuritySettings& other) const noexcept {
    return remote != other.remote || NoneOffered() != other.NoneOffered() ||
           AnonymousAccepted() != other.AnonymousAccepted();
}

std::vector<std::wstring> UaSecuritySettings::Differences(const UaSecuritySettings& before) const {
    std::vector<std::wstring> lines;
    if (remote != before.remote) lines.push_back(std::wstring(L"clients from other computers ") + OnOff(remote));
    if (allowUnsecured != before.allowUnsecured) {
        lines.push_back(std::wstring(L"unsecured connections from other computers ") +
                        (allowUnsecured ? L"allowed" : L"refused"));
    }
    if (allowAnonymous != before.allowAnonymous) {
        lines.push_back(std::wstring(L"anonymous clients from other computers ") +
                        (allowAnonymous ? L"allowed" : L"refused"));
    }
    if (AnonymousRole() != before.AnonymousRole())
        lines.push_back(L"anonymous clients may " + RoleName(AnonymousRole()));
    return lines;
}

UaSecuritySettings LoadUaSecuritySettings(const std::wstring& keyPath) {
    UaSecuritySettings settings;
    RegIO key;
    if (!key.Open(KeyOf(keyPath), true)) return settings;
    key.ReadBool(kRemote, settings.remote);
    key.ReadBool(kAllowUnsecured, settings.allowUnsecured);
    key.ReadBool(kAllowAnonymous, settings.allowAnonymous);
    std::uint32_t role = 0;
    if (key.ReadUInt(kAnonymousRole, role) &&
        (role == static_cast<std::uint32_t>(UaRole::Read) || role == static_cast<std::uint32_t>(UaRole::ReadWrite))) {
        settings.anonymousRole = static_cast<UaRole>(role);
    }
    return settings;
}

bool SaveUaSecuritySettings(const UaSecuritySettings& settings, const std::wstring& keyPath) {
    const UaSecuritySettings before = LoadUaSecuritySettings(keyPath);
    RegIO key;
    if (!key.Create(KeyOf(keyPath))) {
        theEventLog << L"OPC UA security settings not saved: the settings key cannot be written" << EventLog::EndEntry;
        return false;
    }
    // Each kept only while it differs from the default, as the other settings are.
    auto keep = [&key](const wchar_t* name, bool on) { return on ? key.WriteBool(name, true) : key.DeleteValue(name); };
    bool written = keep(kRemote, settings.remote) && keep(kAllowUnsecured, settings.allowUnsecured) &&
                   keep(kAllowAnonymous, settings.allowAnonymous);
    written = written && (settings.anonymousRole
                              ? key.WriteUInt(kAnonymousRole, static_cast<std::uint32_t>(*settings.anonymousRole))
                              : key.DeleteValue(kAnonymousRole));
    std::uint32_t revision = 0;
    key.ReadUInt(kRevision, revision);
    written = written && key.WriteUInt(kRevision, revision + 1);
    if (written) g_countedHere = revision + 1;
    if (!written) {
        theEventLog << L"OPC UA security settings not saved: the settings key cannot be written" << EventLog::EndEntry;
        return false;
    }
    for (const std::wstring& line : settings.Differences(before)) {
        theEventLog << L"OPC UA security changed:" << line << EventLog::EndEntry;
    }
    return true;
}

std::uint32_t UaSecurityRevision(const std::wstring& keyPath) {
    RegIO key;
    std::uint32_t revision = 0;
    if (key.Open(KeyOf(keyPath), true)) key.ReadUInt(kRevision, revision);
    return revision;
}

bool CountUaSecurityChange(const std::wstring& keyPath) {
    RegIO key;
    if (!key.Create(KeyOf(keyPath))) return false;
    std::uint32_t revision = 0;
    key.ReadUInt(kRevision, revision);
    if (!key.WriteUInt(kRevision, revision + 1)) return false;
    g_countedHere = revision + 1;
    return true;
}

std::uint32_t UaSecurityRevisionCountedHere() { return g_countedHere.load(); }

std::wstring UaPkiFolder() { return GetDataFolder() + L"\\PKI"; }

std::wstring UaUserStorePath() { return GetDataFolder() + L"\\UA Users.txt"; }
