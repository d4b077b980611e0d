#pragma once
// The OPC UA endpoint's users: a name, a role and a password kept only as a
// salted PBKDF2-HMAC-SHA256 hash, in a file only its owner and the
// administrators may read. Never a password in the clear, in the file or in
// the event log.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "UaSecuritySettings.h"

struct UaUser {
    std::wstring name;
    UaRole role = UaRole::Read;
};

class UaUserStore {
public:
    explicit UaUserStore(std::wstring path = UaUserStorePath());

    // A missing file is an empty store. False, with the reason, when the
    // file cannot be read or is not a store; the store is then empty.
    bool Load(std::wstring& error);
    // Written whole to a new file with its access list set, then put in
    // place: a failure leaves the old file as it was.
    bool Save(std::wstring& error) const;

    std::vector<UaUser> Users() const;  // by name
    bool Contains(std::wstring_view name) const;
    // Adds the user or gives an existing one a new role and password. False,
    // with the reason, for an unusable name or an empty password.
    bool Set(const std::wstring& name, UaRole role, std::string_view passwordUtf8, std::wstring& error);
    bool SetRole(const std::wstring& name, UaRole role);
    bool Remove(const std::wstring& name);
    // The user's role when the name and password match. Takes as long for an
    // unknown name as for a wrong password.
    std::optional<UaRole> Verify(std::string_view nameUtf8, std::string_view passwordUtf8) const;

private:
    struct Entry {
        std::wstring name;
        UaRole role = UaRole::Read;
        std::string hash;  // the stored form: rounds, salt and derived key
    };
    std::wstring m_path;
    std::vector<Entry> m_entries;
};
