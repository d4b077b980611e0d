// Winsock before any header that brings windows.h.
#include "UaCommon.h"

#include <ws2tcpip.h>
#include <iphlpapi.h>
// naptypes.h (through iphlpapi.h) defines this as a macro; the stack's
// structures have a member of that name.
#undef maxStringLength

#include <open62541/plugin/create_certificate.h>

#include <algorithm>

namespace {
// The runtime's converter would bring product code into the floor server.
std::string Utf8Of(std::wstring_view text) {
    const int length = static_cast<int>(text.size());
    const int n = length == 0 ? 0 : WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), n, nullptr, nullptr);
    return utf8;
}
}  // namespace

UA_Logger& QuietUaLogger() {
    static UA_Logger logger{[](void*, UA_LogLevel, UA_LogCategory, const char*, va_list) {}, nullptr, nullptr};
    return logger;
}

std::string HostName() {
    wchar_t name[256];
    DWORD size = 256;
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size) || size == 0) {
        size = 256;
        if (!GetComputerNameW(name, &size)) return "localhost";
    }
    return Utf8Of(std::wstring_view(name, size));
}

std::string FullyQualifiedHostName() {
    wchar_t name[256];
    DWORD size = 256;
    if (!GetComputerNameExW(ComputerNameDnsFullyQualified, name, &size) || size == 0) return HostName();
    return Utf8Of(std::wstring_view(name, size));
}

std::vector<std::string> LocalAddresses() {
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    std::vector<unsigned char> buffer(16 * 1024);
    ULONG size = static_cast<ULONG>(buffer.size());
    ULONG result = ERROR_BUFFER_OVERFLOW;
    // The list may grow between the two calls.
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()),
                                      &size);
    }
    std::vector<std::string> addresses;
    if (result != NO_ERROR) return addresses;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr; unicast = unicast->Next) {
            const sockaddr* address = unicast->Address.lpSockaddr;
            if (address == nullptr) continue;
            char text[INET6_ADDRSTRLEN] = {};
            if (address->sa_family == AF_INET) {
                const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
                if (v4->sin_addr.s_addr == 0 || (ntohl(v4->sin_addr.s_addr) >> 24) == 127) continue;
                inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
            } else if (address->sa_family == AF_INET6) {
                const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
                if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr) || IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr) ||
                    IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr)) {
                    continue;
                }
                inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
            } else {
                continue;
            }
            if (text[0] != '\0' && std::find(addresses.begin(), addresses.end(), text) == addresses.end())
                addresses.emplace_back(text);
        }
    }
    return addresses;
}

UA_String BorrowedString(std::string_view text) {
    return UA_String{text.size(), reinterpret_cast<UA_Byte*>(const_cast<char*>(text.data()))};
}

UA_LocalizedText BorrowedLocalizedText(std::string_view text) {
    return UA_LocalizedText{UA_STRING_NULL, BorrowedString(text)};
}

UA_NodeId StringNodeId(UA_UInt16 ns, const std::string& id) {
    UA_NodeId nodeId;
    UA_NodeId_init(&nodeId);
    nodeId.namespaceIndex = ns;
    nodeId.identifierType = UA_NODEIDTYPE_STRING;
    nodeId.identifier.string = BorrowedString(id);
    return nodeId;
}

BorrowedText::BorrowedText(std::wstring_view text) : utf8(Utf8Of(text)) {}

UA_StatusCode MakeSelfSignedCertificate(const std::vector<std::string>& subject, const std::vector<std::string>& names,
                                        UA_UInt16 days, UA_ByteString& certificate, UA_ByteString& privateKey) {
    std::vector<UA_String> subjectParts, nameParts;
    for (const std::string& part : subject) subjectParts.push_back(BorrowedString(part));
    for (const std::string& name : names) nameParts.push_back(BorrowedString(name));
    UA_UInt16 keyBits = 2048;
    UA_KeyValuePair pairs[2];
    pairs[0].key = UA_QUALIFIEDNAME(0, const_cast<char*>("key-size-bits"));
    UA_Variant_setScalar(&pairs[0].value, &keyBits, &UA_TYPES[UA_TYPES_UINT16]);
    pairs[1].key = UA_QUALIFIEDNAME(0, const_cast<char*>("expires-in-days"));
    UA_Variant_setScalar(&pairs[1].value, &days, &UA_TYPES[UA_TYPES_UINT16]);
    UA_KeyValueMap parameters{2, pairs};
    return UA_CreateCertificate(&QuietUaLogger(), subjectParts.data(), subjectParts.size(), nameParts.data(),
                                nameParts.size(), UA_CERTIFICATEFORMAT_DER, &parameters, &privateKey, &certificate);
}
