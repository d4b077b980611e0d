#pragma once
// The endpoint's application instance certificate: made on first start (RSA
// 2048, SHA-256, self-signed) and kept in the PKI folder, the private key in
// a folder only the user may read.
#include <string>

#include "UaLibrary.h"

struct UaCertificate {
    UA_ByteString certificate = UA_BYTESTRING_NULL;
    UA_ByteString privateKey = UA_BYTESTRING_NULL;
    bool made = false;   // made just now
    std::wstring error;  // why there is none, in words

    UaCertificate() = default;
    ~UaCertificate();
    UaCertificate(const UaCertificate&) = delete;
    UaCertificate& operator=(const UaCertificate&) = delete;
};

// Reads the certificate kept in `pkiFolder`, or makes and keeps one naming
// `applicationUri`, localhost, `hostName` and 127.0.0.1.
bool LoadOrMakeCertificate(const std::wstring& pkiFolder, const std::string& applicationUri,
                           const std::string& hostName, UaCertificate& out);
