#include "Arguments.h"

#include <cwchar>

#include "Text.h"

namespace {
bool Number(const std::wstring& text, double& value) {
    if (text.empty()) return false;
    wchar_t* end = nullptr;
    value = std::wcstod(text.c_str(), &end);
    return end != nullptr && *end == L'\0' && value >= 0 && value < 1e9;
}
}  // namespace

bool ParseArguments(int argc, const wchar_t* const* argv, Arguments& args, std::string* why) {
    args = Arguments();
    for (int i = 1; i < argc; ++i) {
        std::wstring word = argv[i];
        if (word.size() < 2 || word[0] != L'-' || (word[1] != L'-' && word != L"-h" && word != L"-?")) {
            // "-5" and the like are values to write or names, not options.
            if (args.command.empty()) {
                args.command = word;
            } else {
                args.words.push_back(word);
            }
            continue;
        }
        std::wstring value;
        bool hasValue = false;
        const size_t equals = word.find(L'=');
        if (equals != std::wstring::npos) {
            value = word.substr(equals + 1);
            word.resize(equals);
            hasValue = true;
        }
        auto takeValue = [&]() {
            if (!hasValue && i + 1 < argc) {
                value = argv[++i];
                hasValue = true;
            }
            if (!hasValue) *why = ToUtf8(word) + " needs a value";
            return hasValue;
        };
        double number = 0;
        if (word == L"--help" || word == L"-h" || word == L"-?") {
            args.help = true;
        } else if (word == L"--flat") {
            args.flat = true;
        } else if (word == L"--device") {
            args.device = true;
        } else if (word == L"--async2") {
            args.async2 = true;
        } else if (word == L"--loop") {
            args.loop = true;
        } else if (word == L"--stop") {
            args.stop = true;
        } else if (word == L"--speed") {
            if (!takeValue()) return false;
            if (!Number(value, number) || number <= 0) {
                *why = "--speed takes a number above 0, not \"" + ToUtf8(value) + "\"";
                return false;
            }
            args.speed = number;
        } else if (word == L"--v1" || word == L"--v2") {
            const DaVersion version = word == L"--v1" ? DaVersion::V1 : DaVersion::V2;
            if (args.version != DaVersion::Any && args.version != version) {
                *why = "--v1 and --v2 exclude each other";
                return false;
            }
            args.version = version;
        } else if (word == L"--rate") {
            if (!takeValue()) return false;
            if (!Number(value, number) || number < 1 || number != static_cast<unsigned>(number)) {
                *why = "--rate takes a whole number of milliseconds of at least 1, not \"" + ToUtf8(value) + "\"";
                return false;
            }
            args.rateMs = static_cast<unsigned>(number);
        } else if (word == L"--for") {
            if (!takeValue()) return false;
            if (!Number(value, number) || number <= 0) {
                *why = "--for takes a number of seconds above 0, not \"" + ToUtf8(value) + "\"";
                return false;
            }
            args.forSeconds = number;
        } else if (word == L"--format") {
            if (!takeValue()) return false;
            if (value == L"text") {
                args.format = WatchFormat::Text;
            } else if (value == L"csv") {
                args.format = WatchFormat::Csv;
            } else if (value == L"json") {
                args.format = WatchFormat::Json;
            } else {
                *why = "--format is text, csv or json, not \"" + ToUtf8(value) + "\"";
                return false;
            }
        } else {
            *why = "unknown option " + ToUtf8(word);
            return false;
        }
    }
    return true;
}
