#pragma once
// "/Import FILE" and "/Export FILE": tags between a CSV file and a
// configuration file, run at start-up without a window, reported on the
// console that started the program.
#include "CommandLineInfo.h"

// Gives the process's exit code: 0 when every tag went across, 1 otherwise.
int RunTagFileSwitch(const TagFileSwitch& command);
