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

// A whole number, digits only, that fits a DWORD.
bool DwordNumber(const std::wstring& text, unsigned long& value) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long number = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        number = number * 10 + static_cast<unsigned>(c - L'0');
    }
    if (number > 0xFFFFFFFFull) return false;
    value = static_cast<unsigned long>(number);
    return true;
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
bool Consistent(Arguments& args, bool modeGiven, bool policyGiven, bool pageGiven, std::string* why) {
    const char* clash = pageGiven && !args.da3                             ? "--page goes with --da3"
                        : args.maxAgeGiven && (args.device || args.async2) ? "--max-age excludes --device and --async2"
                        : args.inGroup && !args.maxAgeGiven && !args.vqt   ? "--group goes with --max-age or --vqt"
                        : args.keepAliveGiven && args.version == DaVersion::V1
                            ? "--keep-alive needs the 2.0 callback: not with --v1"
                            : nullptr;
    if (clash != nullptr) {
        *why = clash;
        return false;
    }
    const bool da3 = args.da3 || args.maxAgeGiven || args.inGroup || args.vqt || args.keepAliveGiven;
    if (!args.uaUrl.empty() && da3) {
        *why = "--da3, --page, --max-age, --group, --vqt and --keep-alive are OPC DA 3.0 options, not for --ua";
        return false;
    }
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
    bool modeGiven = false, policyGiven = false, pageGiven = false;
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
        } else if (word == L"--da3") {
            args.da3 = true;
        } else if (word == L"--group") {
            args.inGroup = true;
        } else if (word == L"--vqt") {
            args.vqt = true;
        } else if (word == L"--page") {
            unsigned long size = 0;
            if (!takeValue()) return false;
            if (!DwordNumber(value, size)) {
                *why = std::string("--page takes a whole number of elements (0: no limit), not \"")
                           .append(ToUtf8(value))
                           .append("\"");
                return false;
            }
            args.pageSize = static_cast<unsigned>(size);
            pageGiven = true;
        } else if (word == L"--max-age") {
            if (!takeValue()) return false;
            if (value == L"cache") {
                args.maxAgeMs = 0xFFFFFFFFul;
            } else if (value == L"device") {
                args.maxAgeMs = 0;
            } else if (!DwordNumber(value, args.maxAgeMs)) {
                *why = std::string("--max-age takes whole milliseconds up to 4294967295, cache or device, not \"")
                           .append(ToUtf8(value))
                           .append("\"");
                return false;
            }
            args.maxAgeGiven = true;
        } else if (word == L"--keep-alive") {
            if (!takeValue()) return false;
            if (!DwordNumber(value, args.keepAliveMs)) {
                *why = std::string("--keep-alive takes whole milliseconds (0: none), not \"")
                           .append(ToUtf8(value))
                           .append("\"");
                return false;
            }
            args.keepAliveGiven = true;
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
    return Consistent(args, modeGiven, policyGiven, pageGiven, why);
}
