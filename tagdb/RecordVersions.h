#pragma once
// Version numbers written into the configuration file.
#include <algorithm>

#include "Archive.h"
#include "VersionInfo.h"

// The file head and every framework block (tag, group, device).
constexpr double kRecordVersion = 1.6;

// The program's version number, written after every product record. The
// reader takes the product device's refresh settings only from 1.1 on, so a
// number below that (a build without its version resource) would make the
// file unreadable past the first device: never less than 1.1.
inline double ProgramVersionNumber() { return std::max(GetProductVersionNumber(), 1.1); }

// The trailer of the product's tag and group records: the program's version
// when storing; read and ignored when loading.
inline void SerializeProgramVersion(Archive& archive) {
    if (archive.IsStoring()) {
        archive.WriteDouble(ProgramVersionNumber());
    } else {
        archive.ReadDouble();
    }
}
