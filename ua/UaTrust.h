#pragma once
// Which client certificates the endpoint takes. While it serves this
// computer only, any, as ever: the loopback address lets nobody else in.
// With clients from other computers, only those the PKI folders trust (the
// stack's trust list check, with issuers, revocation lists and validity),
// with an RSA key of 2048 bits at the least and the key usage of an
// application, and at session creation naming the application URI the
// client gives. A refused certificate is kept in rejected/ for the operator
// to trust and the event log says why; the client learns only
// Bad_SecurityChecksFailed.
#include <memory>
#include <mutex>
#include <string>

#include "UaPkiStore.h"

struct UA_ServerConfig;
struct UA_CertificateVerification;

class UaTrust {
public:
    UaTrust(std::wstring pkiFolder, bool remote);
    ~UaTrust();
    UaTrust(const UaTrust&) = delete;
    UaTrust& operator=(const UaTrust&) = delete;

    // Puts the checks into the configuration, once its basics are set; the
    // configuration refers to this object from then on. False, with the
    // reason, when the folders cannot be read.
    bool Install(UA_ServerConfig& config, std::wstring& error);
    // Reads the folders anew while the endpoint serves on; any thread. The
    // files that could not be used are named in `error` (the rest are).
    bool Reload(std::wstring& error);

private:
    struct TrustList;
    std::unique_ptr<TrustList> Load(std::wstring& error) const;
    int Verify(const std::string& certificate);
    int VerifyUri(const std::string& certificate, const std::string& applicationUri);
    void Refuse(const std::string& certificate, const std::wstring& reason, bool keep) const;

    friend struct UaTrustHooks;
    UaPkiStore m_store;
    bool m_remote;
    std::mutex m_lock;  // guards m_list; held only while a certificate is checked or the list swapped
    std::unique_ptr<TrustList> m_list;
};
