#pragma once
// Version numbers written into the configuration file.
#include <algorithm>

#include "Archive.h"
#include "ForcedQuality.h"
#include "VersionInfo.h"

// The file head and every framework block (tag, group, device).
constexpr double kRecordVersion = 1.6;
// A tag or group block that carries a forced quality; every other block stays
// 1.6, so a file without forcing reads as before wherever 1.6 is read.
constexpr double kForcedQualityRecordVersion = 1.7;
// A tag block that carries alarm settings: the 1.7 layout (its forced quality
// always there, kNotForced for none) followed by the alarm. Only alarmed tags
// are written so, and a reader before it knows no alarms.
constexpr double kAlarmRecordVersion = 1.8;
// A historized tag's block: the 1.8 layout (its alarm always there, kind None
// for none) followed by the historize switch. Only historized tags are
// written so: every other block reads as before.
constexpr double kHistoryRecordVersion = 1.9;
// A device block that says the device polls on open or has a response delay;
// every other device block stays 1.6.
constexpr double kDeviceSettingsRecordVersion = 1.7;

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

// A forced quality as a block carries it; one that may not be forced (a
// hand-made file) is dropped rather than imposed.
inline int ReadForcedQuality(Archive& archive) {
    const WORD quality = archive.ReadWord();
    return IsForcibleQuality(quality) ? quality : kNotForced;
}
