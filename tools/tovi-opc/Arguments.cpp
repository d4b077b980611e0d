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

struct PolicyName {
    const wchar_t* name;
    UaPolicy policy;
};
const PolicyName kPolicies[] = {{L"None", UaPolicy::None},
                                {L"Basic256Sha256", UaPolicy::Basic256Sha256},
                                {L"Aes128_Sha256_RsaOaep", UaPolicy::Aes128Sha256RsaOaep},
                                {L"Aes256_Sha256_RsaPss", UaPolicy::Aes256Sha256RsaPss}};

// The options that only a DA server understands, and the OPC UA ones that
// need an endpoint, checked once every option is known.
bool Consistent(Arguments& args, bool modeGiven, bool policyGiven, std::string* why) {
    if (args.uaUrl.empty()) {
        if (modeGiven || policyGiven) *why = "--ua-security and --ua-mode go with --ua URL";
        return !modeGiven && !policyGiven;
    }
    if (args.device || args.async2 || args.version != DaVersion::Any) {
        *why = "--device, --async2, --v1 and --v2 are OPC DA options, not for --ua";
        return false;
    }
    if (modeGiven && args.uaPolicy == UaPolicy::None) {
        *why = "--ua-mode needs a security policy (--ua-security)";
        return false;
    }
    if (!modeGiven && args.uaPolicy != UaPolicy::None) args.uaMode = UaMode::SignAndEncrypt;
    return true;
}
}  // namespace

bool ParseArguments(int argc, const wchar_t* const* argv, Arguments& args, std::string* why) {
    args = Arguments();
    bool modeGiven = false, policyGiven = false;
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
        } else if (word == L"--from" || word == L"--to" || word == L"--aggregate" || word == L"--at") {
            if (!takeValue()) return false;
            (word == L"--from" ? args.from
             : word == L"--to" ? args.to
             : word == L"--at" ? args.atTimes
                               : args.aggregate) = value;
        } else if (word == L"--interval") {
            if (!takeValue()) return false;
            if (!Number(value, number)) {
                *why =
                    std::string("--interval takes a number of milliseconds, not \"").append(ToUtf8(value)).append("\"");
                return false;
            }
            args.intervalMs = number;
        } else if (word == L"--event") {
            if (!takeValue()) return false;
            args.eventId = value;
        } else if (word == L"--ua") {
            if (!takeValue()) return false;
            if (_wcsnicmp(value.c_str(), L"opc.tcp://", 10) != 0 || value.size() <= 10) {
                *why = "--ua takes an opc.tcp:// URL, not \"" + ToUtf8(value) + "\"";
                return false;
            }
            args.uaUrl = value;
        } else if (word == L"--ua-security") {
            if (!takeValue()) return false;
            policyGiven = false;
            for (const PolicyName& known : kPolicies) {
                if (value == known.name) {
                    args.uaPolicy = known.policy;
                    policyGiven = true;
                }
            }
            if (!policyGiven) {
                *why = "--ua-security is None, Basic256Sha256, Aes128_Sha256_RsaOaep or Aes256_Sha256_RsaPss, not \"" +
                       ToUtf8(value) + "\"";
                return false;
            }
        } else if (word == L"--ua-mode") {
            if (!takeValue()) return false;
            if (value == L"Sign") {
                args.uaMode = UaMode::Sign;
            } else if (value == L"SignAndEncrypt") {
                args.uaMode = UaMode::SignAndEncrypt;
            } else {
                *why = "--ua-mode is Sign or SignAndEncrypt, not \"" + ToUtf8(value) + "\"";
                return false;
            }
            modeGiven = true;
        } else {
            *why = "unknown option " + ToUtf8(word);
            return false;
        }
    }
    return Consistent(args, modeGiven, policyGiven, why);
}
