#pragma once
// What the endpoint and the UA tools need alike from the stack: a silent
// logger, strings and NodeIds that borrow their text, the host's name and a
// self-signed application certificate. It depends on the stack alone: the UA
// benchmark's floor server links it and must carry no product code.
#include <winsock2.h>
#include <windows.h>

#include <open62541/plugin/log.h>
#include <open62541/types.h>

#include <string>
#include <string_view>
#include <vector>

// The stack speaks to nobody: what matters reaches the event log or the user
// through the caller.
UA_Logger& QuietUaLogger();

// This computer's DNS host name in UTF-8; "localhost" when it has none.
std::string HostName();
// Its fully qualified DNS name (host and domain); the host name when it has no domain.
std::string FullyQualifiedHostName();
// The addresses other computers may reach it at, as text ("192.168.1.20",
// "fd00::20"): the unicast IPv4 and IPv6 addresses of every interface that is
// up, neither loopback nor IPv6 link-local (which no URL can name without its
// zone). Empty when there is none.
std::vector<std::string> LocalAddresses();

// `text` as a UA string borrowing its bytes, valid while they live unchanged;
// never cleared. A view of a std::string, whole or its tail, keeps the
// terminating NUL behind it for the parts of the stack that read with strlen.
UA_String BorrowedString(std::string_view text);
// The same as a localized text without a locale.
UA_LocalizedText BorrowedLocalizedText(std::string_view text);

// A string NodeId borrowing `id`, valid while `id` lives unchanged; never cleared.
UA_NodeId StringNodeId(UA_UInt16 ns, const std::string& id);

// Text in UTF-8 that an attribute borrows for the length of one call.
struct BorrowedText {
    std::string utf8;
    explicit BorrowedText(std::wstring_view text);
    UA_String String() const { return BorrowedString(utf8); }
    UA_LocalizedText Localized() const { return BorrowedLocalizedText(utf8); }
};

// A self-signed application instance certificate (RSA 2048, SHA-256) valid
// for `days`, and its private key, both DER; the caller clears both.
// `subject` holds "CN=..." and "O=..." parts, `names` the alternative names
// ("URI:...", "DNS:...", "IP:..."), an IP entry last: the stack keeps the
// address it converts only for as long as the loop that reads the list.
UA_StatusCode MakeSelfSignedCertificate(const std::vector<std::string>& subject, const std::vector<std::string>& names,
                                        UA_UInt16 days, UA_ByteString& certificate, UA_ByteString& privateKey);
