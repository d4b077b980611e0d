#pragma once
// Loading and storing configurations in memory for the tests.
#include <iterator>
#include <string>
#include <vector>

#include "ConfigurationFile.h"
#include "OPCS_Tag.h"
#include "ToviDevice.h"
#include "TvfBuilder.h"

// The devices loaded from some bytes; deleted with it.
struct Loaded {
    Dll<OPCS_Device*> devices;
    bool endOfFile = false;
    size_t dropped = 0;

    Loaded() = default;
    explicit Loaded(const std::vector<BYTE>& bytes) {
        Archive archive(bytes.data(), bytes.size());
        try {
            LoadConfiguration(archive, devices);
        } catch (const ArchiveEndOfFile&) {
            endOfFile = true;
        }
        dropped = archive.DroppedRecords();
    }
    explicit Loaded(const Bytes& bytes) : Loaded(bytes.data) {}
    ~Loaded() {
        for (OPCS_Device* d : devices) delete d;
    }
    Loaded(const Loaded&) = delete;
    Loaded& operator=(const Loaded&) = delete;

    int Count() const { return devices.Count(); }
    ToviDevice* Device(int i) { return static_cast<ToviDevice*>(*std::next(devices.begin(), i)); }
    OPCS_Tag* Tag(int device, const std::wstring& id) { return Device(device)->FindTag(id); }
};

inline std::vector<BYTE> Store(const Dll<OPCS_Device*>& devices) {
    Archive archive;
    StoreConfiguration(archive, devices);
    return archive.Bytes();
}

inline double R8(const Variant& v) { return V_R8(&v.Ref()); }
