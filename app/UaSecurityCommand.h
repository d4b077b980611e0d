#pragma once
// "/UaUser", "/UaTrust", "/UaRemote" and "/UaAllow": who may connect to the
// OPC UA endpoint, changed without a window for deployments and test rigs.
// Each says what it did on standard output; a running copy hears of the
// change through the settings key and takes it without a restart.
#include "CommandLineInfo.h"

// Gives the process's exit code: 0 when the change was made, 1 otherwise.
int RunUaSecuritySwitch(const UaSecuritySwitch& command);
