// Writes the sample configuration that a first run opens: a Demo device with
// every kind of simulated signal, a tag of every type read only and
// read/write, forced qualities; a slow device and one out of service; and two
// plant-like devices whose measurements move. Every device polls from the
// moment the file is opened. Every value is stamped with one fixed time, so
// the same program writes the same bytes.
// Usage: sample_configuration <file.tvf>
#include <windows.h>

#include <cstdio>
#include <initializer_list>
#include <utility>
#include <string>

#include "AlarmSettings.h"
#include "Configuration.h"
#include "FileTime.h"
#include "ForcedQuality.h"
#include "MessageBoxes.h"
#include "OpcConstants.h"
#include "SimulatedSignal.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

namespace {
// 2026-12-01 00:00:00 UTC.
constexpr std::uint64_t kSampleTime = 0x01DD8126E8798000ull;

struct Signal {
    DWORD kind = 0;  // none
    double seconds = 0;
    DWORD step = 0;
};
Signal Sine(double seconds) { return {kSimulateSine, seconds}; }
Signal Ramp(double seconds) { return {kSimulateRamp, seconds}; }
Signal Triangle(double seconds) { return {kSimulateTriangle, seconds}; }
Signal Square(double seconds) { return {kSimulateSquare, seconds}; }
Signal Random(double seconds) { return {kSimulateRandom, seconds}; }
Signal Count(double seconds, DWORD step) { return {kSimulateCount, seconds, step}; }

// The value limits, the engineering range, when low < high.
struct Range {
    double low = 0, high = 0;
};
Range Limits(double low, double high) { return {low, high}; }

constexpr bool kReadOnly = false, kReadWrite = true;

struct SampleTag {
    const wchar_t* name;
    Variant value;  // gives the type
    const wchar_t* description;
    bool readWrite = kReadOnly;
    Range limits{};
    Signal signal{};
    int forced = kNotForced;
};

Variant R8(double v) { return Variant::FromDouble(v); }
Variant R4(float v) { return Variant::FromFloat(v); }
Variant I4(LONG v) { return Variant::FromLong(v); }
Variant I2(SHORT v) { return Variant::FromShort(v); }
Variant UI1(BYTE v) { return Variant::FromByte(v); }
Variant Bool(bool v) { return Variant::FromBool(v); }
Variant Text(const wchar_t* v) { return Variant::FromString(v); }

// Simulated tags always keep their history; a plant's tags all do, so that a
// trend of any of them shows its past at once.
enum History { kHistorizeSimulated, kHistorizeAll };

void AddTags(Configuration& doc, OPCS_TagGroup* group, std::initializer_list<SampleTag> samples,
             History history = kHistorizeSimulated) {
    for (const SampleTag& sample : samples) {
        auto* tag = new ToviTag;
        tag->Rename(sample.name);
        tag->SetDescription(sample.description);
        tag->SetDataType(sample.value.Ref().vt);
        tag->SetAccessMode(sample.readWrite ? 1 : 0);
        if (sample.limits.low < sample.limits.high) {
            tag->SetValueLimits(sample.limits.low, sample.limits.high);
        } else {
            tag->ClearValueLimits();
        }
        // A signal's value is the device's to give, not the file's to keep;
        // the other values are kept while the device is not polling.
        const bool simulated = sample.signal.kind != 0;
        tag->SetVolatile(simulated);
        if (simulated) {
            tag->SetSimulation({true, sample.signal.kind, sample.signal.step,
                                static_cast<DWORD>(sample.signal.seconds * 1000 / kSimulationTickMs + 0.5)});
        }
        tag->SetValue(sample.value, OPC_QUALITY_GOOD, U64ToFileTime(kSampleTime));
        tag->ForceQuality(sample.forced);
        tag->SetHistorize(simulated || history == kHistorizeAll);
        doc.AddTagTo(group, tag);
    }
}

OPCS_TagGroup* AddGroup(Configuration& doc, OPCS_TagGroup* parent, const wchar_t* name, const wchar_t* description) {
    auto* group = new ToviTagGroup;
    group->Rename(name);
    group->SetDescription(description);
    doc.AddGroupTo(parent, group);
    return group;
}

ToviDevice* AddDevice(Configuration& doc, const wchar_t* name, const wchar_t* description) {
    auto* device = new ToviDevice;
    device->Rename(name);
    device->SetDescription(description);
    device->SetPollOnOpen(true);
    // The interval its polling sets: a served sample has no change to save,
    // and an installed one stays the sample, not the user's own.
    device->ApplyRefreshInterval();
    doc.AddDevice(device);
    return device;
}

void AddDemo(Configuration& doc) {
    ToviDevice* demo = AddDevice(doc, L"Demo", L"Simulated signals, a tag of every type, forced qualities");
    AddTags(
        doc, demo,
        {{L"Sine", R8(0), L"Sine wave from -100 to 100, one cycle every 10 s", kReadOnly, Limits(-100, 100), Sine(10)},
         {L"Ramp", R4(0), L"Rises from 0 to 100 in 5 s, again and again; goes on from any value written", kReadWrite,
          Limits(0, 100), Ramp(5)},
         {L"Triangle", I4(0), L"Rises from 0 to 1000 in 10 s and falls back in the next 10 s", kReadOnly,
          Limits(0, 1000), Triangle(20)},
         {L"Square", Bool(true), L"True for 1 s, then false for 1 s", kReadOnly, {}, Square(2)},
         {L"Random", R8(20), L"A new random value between 15 and 25 every second", kReadOnly, Limits(15, 25),
          Random(1)},
         {L"Count", I4(0), L"Counts up by 1 every second; after 9999 starts again at 0", kReadOnly, Limits(0, 9999),
          Count(1, 1)}});
    AddTags(
        doc, AddGroup(doc, demo, L"Slow", L"Signals with a period of one minute"),
        {{L"Sine", R8(50), L"Sine wave from 0 to 100, one cycle a minute", kReadOnly, Limits(0, 100), Sine(60)},
         {L"Ramp", UI1(0), L"Rises from 0 to 255 in a minute", kReadOnly, Limits(0, 255), Ramp(60)},
         {L"Triangle", I2(0), L"Rises from -500 to 500 in 30 s and falls back in the next 30 s", kReadOnly,
          Limits(-500, 500), Triangle(60)},
         {L"Square", I2(10), L"10 for 30 s, then 0 for 30 s", kReadOnly, Limits(0, 10), Square(60)},
         {L"Random", R4(0), L"A new random value between -1 and 1 every minute", kReadOnly, Limits(-1, 1), Random(60)},
         {L"Count", I2(0), L"Counts up by 5 every minute, from 0 to 100", kReadOnly, Limits(0, 100), Count(60, 5)}});
    OPCS_TagGroup* types = AddGroup(doc, demo, L"Types", L"A read/write tag of every type, to write to");
    AddTags(doc, types,
            {{L"Bool", Bool(true), L"Bool (VT_BOOL): write 1 or 0, True or False", kReadWrite},
             {L"Byte", UI1(200), L"Byte (VT_UI1), 0 to 255", kReadWrite},
             {L"Short", I2(-1234), L"Short (VT_I2), -32768 to 32767", kReadWrite},
             {L"Int", I4(123456), L"Int (VT_I4)", kReadWrite},
             {L"Float", R4(3.25f), L"Float (VT_R4)", kReadWrite},
             {L"Double", R8(2.718281828), L"Double (VT_R8)", kReadWrite},
             {L"String", Text(L"Hello, OPC"), L"String (VT_BSTR)", kReadWrite},
             {L"Percent", R8(50), L"Double limited to 0 to 100: a value written outside is held at the limit",
              kReadWrite, Limits(0, 100)}});
    AddTags(doc, AddGroup(doc, types, L"ReadOnly", L"A read only tag of every type: writes are refused"),
            {{L"Bool", Bool(false), L"Bool (VT_BOOL), read only"},
             {L"Byte", UI1(17), L"Byte (VT_UI1), read only"},
             {L"Short", I2(42), L"Short (VT_I2), read only"},
             {L"Int", I4(-7), L"Int (VT_I4), read only"},
             {L"Float", R4(0.5f), L"Float (VT_R4), read only"},
             {L"Double", R8(1e6), L"Double (VT_R8), read only"},
             {L"String", Text(L"Read only"), L"String (VT_BSTR), read only"}});
    AddTags(doc, AddGroup(doc, demo, L"Quality", L"Forced qualities: every client reads the quality forced on the tag"),
            {{L"Bad", R8(50), L"Sine wave from 0 to 100 whose quality is forced Bad (Comm Failure)", kReadOnly,
              Limits(0, 100), Sine(10), OPC_QUALITY_COMM_FAILURE},
             {L"Uncertain", R8(0), L"Ramp from 0 to 100 whose quality is forced Uncertain (Sensor Not Accurate)",
              kReadOnly, Limits(0, 100), Ramp(10), OPC_QUALITY_SENSOR_CAL}});

    ToviDevice* slow = AddDevice(doc, L"DemoSlow", L"A device that answers reads from it and writes to it in 2 s");
    slow->SetResponseDelay(2000);
    AddTags(doc, slow,
            {{L"Level", R8(5), L"Tank level in m, 0 to 10 every 30 s; a read from the device takes 2 s", kReadOnly,
              Limits(0, 10), Sine(30)},
             {L"Valve", R4(50), L"Valve opening in percent; a write takes 2 s", kReadWrite, Limits(0, 100)}});

    ToviDevice* offline = AddDevice(doc, L"DemoOffline", L"A device out of service");
    AddTags(doc, offline,
            {{L"Flow", R8(25), L"Flow in m3/h: Bad (Out Of Service) until the device is back in service, then a sine",
              kReadOnly, Limits(0, 50), Sine(20)},
             {L"Total", I4(0), L"Counts up by 1 every second once the device is back in service", kReadOnly,
              Limits(0, 1000000), Count(1, 1)}});
    offline->SetInService(false);
}

AlarmSettings Alarm(AlarmKind kind) {
    AlarmSettings alarm;
    alarm.kind = kind;
    return alarm;
}

// Alarms an HMI meets at once: the drum level crosses its limits by itself
// within twenty seconds, the flame temperature now and then, and both need
// an acknowledgement; the pump trips when a client writes false.
void AddPlantAlarms(Configuration& doc) {
    AlarmSettings level = Alarm(AlarmKind::ExclusiveLimit);
    level.highHigh = 45;
    level.high = 35;
    level.low = -35;
    level.lowLow = -45;
    level.deadband = 2;
    AlarmSettings pump = Alarm(AlarmKind::OffNormal);
    pump.normalValue = Bool(true);
    pump.severity = 700;
    pump.message = L"Feed pump tripped";
    AlarmSettings flame = Alarm(AlarmKind::ExclusiveLimit);
    flame.high = 827;
    flame.deadband = 1;
    flame.severity = 600;
    flame.needsConfirm = true;
    flame.message = L"Flame temperature high";
    const std::pair<const wchar_t*, const AlarmSettings*> alarms[] = {
        {L"BoilerHouse.Feedwater.DrumLevel", &level},
        {L"BoilerHouse.Feedwater.PumpRunning", &pump},
        {L"BoilerHouse.Burner.FlameTemperature", &flame},
    };
    for (const auto& [itemId, settings] : alarms) {
        OPCS_Tag* tag = doc.FindTag(itemId);
        if (tag == nullptr || !tag->SetAlarmSettings(*settings)) std::printf("sample: no alarm on %ls\n", itemId);
    }
}

void AddPlant(Configuration& doc) {
    ToviDevice* boiler = AddDevice(doc, L"BoilerHouse", L"A steam boiler house");
    AddTags(doc, boiler,
            {{L"SteamPressure", R8(18), L"Header steam pressure in bar, between 17 and 19 every 40 s", kReadOnly,
              Limits(17, 19), Sine(40)},
             {L"SteamFlow", R4(22.4f), L"Steam flow in t/h, between 18 and 26 every 30 s", kReadOnly, Limits(18, 26),
              Triangle(30)},
             {L"Setpoint", R8(18.0), L"Pressure setpoint in bar, 10 to 25", kReadWrite, Limits(10, 25)},
             {L"Status", Text(L"In service"), L"Plant status"}},
            kHistorizeAll);
    AddTags(doc, AddGroup(doc, boiler, L"Burner", L"The burner"),
            {{L"FlameTemperature", R8(812.4), L"Flame temperature in degrees C, a new reading every 2 s", kReadOnly,
              Limits(800, 830), Random(2)},
             {L"FuelValve", R4(37.5f), L"Fuel valve opening in percent", kReadWrite, Limits(0, 100)},
             {L"Running", Bool(true), L"Burner running"},
             {L"Mode", Text(L"Automatic"), L"Operating mode", kReadWrite},
             {L"Starts", I4(14), L"Burner starts today"}},
            kHistorizeAll);
    OPCS_TagGroup* feedwater = AddGroup(doc, boiler, L"Feedwater", L"Boiler feedwater");
    AddTags(doc, feedwater,
            {{L"DrumLevel", R8(0), L"Drum level in mm around the normal level, -50 to 50 every 20 s", kReadOnly,
              Limits(-50, 50), Sine(20)},
             {L"PumpSpeed", I2(1450), L"Feed pump speed in rpm, 0 to 3000", kReadWrite, Limits(0, 3000)},
             {L"LowLevelAlarm", Bool(false), L"Low level alarm"}},
            kHistorizeAll);
    AddTags(doc, AddGroup(doc, feedwater, L"Treatment", L"Feedwater treatment"),
            {{L"Conductivity", R8(118.0), L"Conductivity in uS/cm, a new reading every 5 s", kReadOnly,
              Limits(110, 125), Random(5)},
             {L"DosingPump", UI1(60), L"Dosing pump stroke in percent", kReadWrite, Limits(0, 100)}},
            kHistorizeAll);

    AddTags(doc, feedwater, {{L"PumpRunning", Bool(true), L"Feed pump running; write false to trip it", kReadWrite}},
            kHistorizeAll);
    AddPlantAlarms(doc);

    ToviDevice* line = AddDevice(doc, L"PackagingLine", L"A packaging line");
    AddTags(doc, AddGroup(doc, line, L"Conveyor", L"The conveyor belt"),
            {{L"Speed", R8(42.0), L"Belt speed in m/min, 0 to 60", kReadWrite, Limits(0, 60)},
             {L"Count", I4(0), L"Packs since shift start, one a second", kReadOnly, Limits(0, 999999), Count(1, 1)},
             {L"Jam", Bool(false), L"Jam detected"}},
            kHistorizeAll);
    AddTags(doc, AddGroup(doc, line, L"Palletizer", L"The palletizer"),
            {{L"Layers", I2(0), L"Layers on the pallet being built, one every 3 s, 8 to a pallet", kReadOnly,
              Limits(0, 8), Count(3, 1)},
             {L"Wrapping", Bool(false), L"Stretch wrapper running, 12 s on and 12 s off", kReadOnly, {}, Square(24)}},
            kHistorizeAll);
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::printf("usage: sample_configuration <file.tvf>\n");
        return 2;
    }
    SetMessageBoxHandler([](const std::wstring&, const std::wstring&, UINT style) { return DefaultAnswer(style); });
    Configuration doc;
    AddDemo(doc);
    AddPlant(doc);
    // Written anew: the sample before it needs no backup beside it.
    DeleteFileW(argv[1]);
    return doc.Save(argv[1]).saved ? 0 : 1;
}
