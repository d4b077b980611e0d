// Winsock before any header that brings windows.h.
#include "UaCommon.h"

#include <open62541/plugin/create_certificate.h>

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
