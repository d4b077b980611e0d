#pragma once
// The configuration file type in the shell: double-clicking a ".tvf" file
// opens it in this program.
// Associates the extension unless another program owns it; false when the
// keys could not be written.
bool RegisterShellFileTypes();
