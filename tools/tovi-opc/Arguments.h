#pragma once
// The tool's command line: a command, its words, and the options any
// command may carry (each command says which it reads).
#include <string>
#include <vector>

enum class WatchFormat { Text, Csv, Json };
// Which OPC DA interfaces a watch subscribes through: the newest the server
// offers, or forced to 1.0a's data stream or 2.0's callback.
enum class DaVersion { Any, V1, V2 };
// The OPC UA security policy and message mode of --ua-security and --ua-mode.
enum class UaPolicy { None, Basic256Sha256, Aes128Sha256RsaOaep, Aes256Sha256RsaPss };
enum class UaMode { None, Sign, SignAndEncrypt };

struct Arguments {
    std::wstring command;
    std::vector<std::wstring> words;  // after the command, options removed
    bool help = false;
    bool flat = false;            // browse
    bool device = false;          // read
    bool async2 = false;          // read
    bool da3 = false;             // browse: through OPC DA 3.0's IOPCBrowse
    unsigned pageSize = 1000;     // browse --da3: elements asked per call (0: no limit)
    bool maxAgeGiven = false;     // read: through OPC DA 3.0, with this MaxAge for every item
    unsigned long maxAgeMs = 0;   // 0xFFFFFFFF: from the cache
    bool inGroup = false;         // read --max-age, write --vqt: in a group (IOPCSyncIO2), not by item ID
    bool vqt = false;             // write: values with qualities and timestamps (OPC DA 3.0)
    bool keepAliveGiven = false;  // watch: the group's keep-alive (OPC DA 3.0)
    unsigned long keepAliveMs = 0;
    unsigned rateMs = 1000;  // watch
    WatchFormat format = WatchFormat::Text;
    double forSeconds = 0;               // watch; 0: until stopped
    DaVersion version = DaVersion::Any;  // watch
    double speed = 1;                    // replay
    bool loop = false;                   // replay
    bool stop = false;                   // replay
    std::wstring uaUrl;                  // --ua: an OPC UA endpoint instead of a DA server
    std::wstring eventId;                // ack, confirm, comment: --event HEX
    std::wstring from, to;               // history: --from T --to T, as written
    std::wstring aggregate;              // history: --aggregate NAME
    double intervalMs = 0;               // history: --interval MS (0: one interval)
    std::wstring atTimes;                // history: --at T,T,...
    UaPolicy uaPolicy = UaPolicy::None;
    UaMode uaMode = UaMode::None;  // Sign or SignAndEncrypt exactly when a policy is chosen
};

// False with the reason for an unknown option or a bad option value.
bool ParseArguments(int argc, const wchar_t* const* argv, Arguments& args, std::string* why);
