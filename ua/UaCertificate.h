#pragma once
// The endpoint's application instance certificate: made on first start (RSA
// 2048, SHA-256, self-signed) and kept in the PKI folder, the private key in
// a folder only the user may read.
#include <string>

#include "UaLibrary.h"

struct UaCertificate {
    UA_ByteString certificate = UA_BYTESTRING_NULL;
    UA_ByteString privateKey = UA_BYTESTRING_NULL;
    bool made = false;    // made just now
    std::wstring error;   // why there is none, in words
    std::wstring notice;  // for the event log: why it was made anew, or that it expires soon

    UaCertificate() = default;
    ~UaCertificate();
    UaCertificate(const UaCertificate&) = delete;
    UaCertificate& operator=(const UaCertificate&) = delete;
};

// Reads the certificate kept in `pkiFolder`, or makes and keeps one naming
// `applicationUri`, localhost, `hostName` (and its full DNS name) and
// 127.0.0.1. A kept one that names another application URI (the computer was
// renamed) or expires within a week is made anew; one that expires within 30
// days is kept with a notice.
bool LoadOrMakeCertificate(const std::wstring& pkiFolder, const std::string& applicationUri,
                           const std::string& hostName, UaCertificate& out);
