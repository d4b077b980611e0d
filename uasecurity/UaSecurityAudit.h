#pragma once
// Who may connect, as a running copy last saw it: what another process (the
// command line, another copy) changed is recorded in this copy's event log,
// which that process cannot write while this one holds it.
#include <string>
#include <vector>

#include "UaCertificateFacts.h"
#include "UaSecuritySettings.h"
#include "UaUserStore.h"

struct UaSecurityState {
    UaSecuritySettings settings;
    std::vector<UaUser> users;
    std::vector<UaCertificateRow> trusted;
};

UaSecurityState CurrentUaSecurityState();
// Writes a line to the event log for each difference.
void LogUaSecurityChanges(const UaSecurityState& before, const UaSecurityState& after);
