#include "UaSecurityAudit.h"

#include <algorithm>

#include "EventLog.h"
#include "UaPkiStore.h"

UaSecurityState CurrentUaSecurityState() {
    UaSecurityState state;
    state.settings = LoadUaSecuritySettings();
    UaUserStore users;
    std::wstring error;
    if (users.Load(error)) state.users = users.Users();
    state.trusted = UaPkiStore().Trusted();
    return state;
}

void LogUaSecurityChanges(const UaSecurityState& before, const UaSecurityState& after) {
    for (const std::wstring& line : after.settings.Differences(before.settings)) {
        theEventLog << L"OPC UA security changed:" << line << EventLog::EndEntry;
    }
    auto findUser = [](const std::vector<UaUser>& users, const std::wstring& name) {
        return std::find_if(users.begin(), users.end(), [&name](const UaUser& u) { return u.name == name; });
    };
    for (const UaUser& user : after.users) {
        const auto was = findUser(before.users, user.name);
        if (was == before.users.end()) {
            theEventLog << L"OPC UA user added:" << user.name + L" (" + RoleName(user.role) + L")"
                        << EventLog::EndEntry;
        } else if (was->role != user.role) {
            theEventLog << L"OPC UA user changed:" << user.name + L" (" + RoleName(user.role) + L")"
                        << EventLog::EndEntry;
        }
    }
    for (const UaUser& user : before.users) {
        if (findUser(after.users, user.name) == after.users.end()) {
            theEventLog << L"OPC UA user removed:" << user.name << EventLog::EndEntry;
        }
    }
    auto holds = [](const std::vector<UaCertificateRow>& rows, const UaCertificateRow& row) {
        return std::any_of(rows.begin(), rows.end(),
                           [&row](const UaCertificateRow& r) { return r.thumbprint == row.thumbprint; });
    };
    for (const UaCertificateRow& row : after.trusted) {
        if (!holds(before.trusted, row)) {
            theEventLog << L"OPC UA client certificate trusted:" << row.subject << row.thumbprint << EventLog::EndEntry;
        }
    }
    for (const UaCertificateRow& row : before.trusted) {
        if (!holds(after.trusted, row)) {
            theEventLog << L"OPC UA client certificate no longer trusted:" << row.subject << row.thumbprint
                        << EventLog::EndEntry;
        }
    }
}
