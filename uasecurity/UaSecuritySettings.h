#pragma once
// Who may connect to the OPC UA endpoint, as stored with the program
// settings. Local-only is the default: the endpoint listens on the loopback
// address, offers security None and lets anonymous clients in. Accepting
// clients from other computers turns both off unless they are allowed too.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class UaRole : std::uint32_t { Read = 1, ReadWrite = 2 };

// "Read" or "Read/Write", as the dialogs and the audit lines show it.
std::wstring RoleName(UaRole role);
// "read" or "readwrite" (any case), as the command line takes it.
std::optional<UaRole> ParseRoleWord(std::wstring_view word);

struct UaSecuritySettings {
    bool remote = false;          // "Accept clients from other computers"
    bool allowUnsecured = false;  // with remote: security None offered too
    bool allowAnonymous = false;  // with remote: anonymous clients let in
    // What anonymous clients may do; unset: Read/Write on this computer
    // only, Read with remote access.
    std::optional<UaRole> anonymousRole;

    bool NoneOffered() const noexcept { return !remote || allowUnsecured; }
    bool AnonymousAccepted() const noexcept { return !remote || allowAnonymous; }
    UaRole AnonymousRole() const noexcept;
    // The endpoint must listen anew (its addresses, policies or token kinds differ).
    bool ListensAsOther(const UaSecuritySettings& other) const noexcept;
    bool operator==(const UaSecuritySettings&) const = default;

    // Each setting that differs from `before`, in words for the event log
    // ("remote access on", "anonymous clients: Read").
    std::vector<std::wstring> Differences(const UaSecuritySettings& before) const;
};

// Reads the settings kept under the key (the program's settings key by
// default); what is missing takes its default.
UaSecuritySettings LoadUaSecuritySettings(const std::wstring& keyPath = std::wstring());
// Stores them and counts a change (UaSecurityRevision), so that a running
// copy hears of it; an event log line names each difference. False when the
// key cannot be written.
bool SaveUaSecuritySettings(const UaSecuritySettings& settings, const std::wstring& keyPath = std::wstring());
// Counted each time the endpoint's security changes: settings, users or
// trusted certificates. A running copy watches the settings key and compares.
std::uint32_t UaSecurityRevision(const std::wstring& keyPath = std::wstring());
bool CountUaSecurityChange(const std::wstring& keyPath = std::wstring());
// The last revision this process counted (0: none): a running copy records in
// its event log what changed only when another process changed it, since
// its own dialogs record their changes themselves.
std::uint32_t UaSecurityRevisionCountedHere();

// Where the certificates live (own, trusted, rejected, issuers) and where
// the users are kept: in the program's data folder.
std::wstring UaPkiFolder();
std::wstring UaUserStorePath();
