#pragma once
// Version numbers written into the configuration file.
#include "Archive.h"

// The file head and every framework block (tag, group, device).
constexpr double kRecordVersion = 1.6;

// The program's version number, written after every product record. It is
// the product version of the version resource; kept here, in one place,
// until the settings layer offers it.
inline double ProgramVersionNumber() { return 1.1; }

// The trailer of the product's tag and group records: the program's version
// when storing; read and ignored when loading.
inline void SerializeProgramVersion(Archive& archive) {
    if (archive.IsStoring()) {
        archive.WriteDouble(ProgramVersionNumber());
    } else {
        archive.ReadDouble();
    }
}
