// tovi-opc fault: a fault of one device of a Tovi Explorer server, written to
// the device's control items (the server must allow fault control through OPC).
#include <cwctype>
#include <string>

#include "Commands.h"
#include "Console.h"
#include "QualityNames.h"
#include "Text.h"

namespace {
// Built front to back: a literal put before a temporary string draws GCC 12's
// false -Wrestrict warning at -O3.
std::string Quoted(const std::wstring& word) {
    std::string text(1, '"');
    text += ToUtf8(word);
    text += '"';
    return text;
}

struct Fault {
    const wchar_t* what;
    const wchar_t* item;  // below DEVICE._Control
};
constexpr Fault kFaults[] = {
    {L"quality", L"Quality"}, {L"service", L"InService"}, {L"delay", L"ResponseDelayMs"},
    {L"freeze", L"Freeze"},   {L"storm", L"AlarmStorm"},
};

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// The value as the control item takes it; empty when it means nothing.
std::wstring ValueFor(const std::wstring& what, const std::wstring& text) {
    const std::wstring word = Lower(text);
    if (what == L"quality") {
        int quality = 0;
        if (QualityFromName(word, quality)) return std::to_wstring(quality);
        return text;  // a number: the server judges it
    }
    if (what == L"service" || what == L"freeze") {
        if (word == L"on" || word == L"true" || word == L"1") return L"True";
        if (word == L"off" || word == L"false" || word == L"0") return L"False";
        return {};
    }
    return text;
}
}  // namespace

int RunFault(const Arguments& args) {
    if (args.words.size() != 4) {
        PrintError("fault needs a ProgID, a device, what to change and a value (see tovi-opc fault --help)");
        return kExitUsage;
    }
    const std::wstring what = Lower(args.words[2]);
    const Fault* fault = nullptr;
    for (const Fault& f : kFaults) {
        if (what == f.what) fault = &f;
    }
    if (fault == nullptr) {
        PrintError(Quoted(args.words[2]) + " is none of quality, service, delay, freeze, storm");
        return kExitUsage;
    }
    const std::wstring value = ValueFor(what, args.words[3]);
    if (value.empty()) {
        PrintError(Quoted(args.words[3]) + " is neither on nor off");
        return kExitUsage;
    }
    Arguments write = args;
    write.command = L"write";
    write.words = {args.words[0], args.words[1] + L"._Control." + fault->item + L"=" + value};
    return RunWrite(write);
}
