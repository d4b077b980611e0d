/* A resource-only library: the tests read its version information. */
int tovi_version_probe_marker = 1;
