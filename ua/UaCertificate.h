#pragma once
// The endpoint's application instance certificate: made on first start (RSA
// 2048, SHA-256, self-signed) and kept in the PKI folder, the private key in
// a folder only the user may read.
#include <string>
#include <vector>

#include "UaLibrary.h"

struct UaCertificate {
    UA_ByteString certificate = UA_BYTESTRING_NULL;
    UA_ByteString privateKey = UA_BYTESTRING_NULL;
    bool made = false;    // made just now
    std::wstring error;   // why there is none, in words
    std::wstring notice;  // for the event log: why it was made anew, that it expires soon or lacks a name
    // Names the kept certificate should give and does not (an address or DNS
    // name new since it was made): it is kept, and a new one offered.
    std::vector<std::wstring> missingNames;

    UaCertificate() = default;
    ~UaCertificate();
    UaCertificate(const UaCertificate&) = delete;
    UaCertificate& operator=(const UaCertificate&) = delete;
};

// The application URI the endpoint gives itself on the computer of this name.
std::string EndpointApplicationUri(const std::string& hostName);

// Reads the certificate kept in `pkiFolder`, or makes and keeps one naming
// `applicationUri`, localhost, `hostName` (and its full DNS name), 127.0.0.1
// and each of `addresses` (those the endpoint listens on). A kept one that
// names another application URI (the computer was renamed) or expires within
// a week is made anew; one that expires within 30 days, or lacks one of the
// other names, is kept with a notice: clients that trusted it go on.
bool LoadOrMakeCertificate(const std::wstring& pkiFolder, const std::string& applicationUri,
                           const std::string& hostName, const std::vector<std::string>& addresses, UaCertificate& out);
