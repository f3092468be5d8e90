#pragma once

#include "platform/tls.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tvn {

// Which certificate the HTTPS listener shows, in this order: the one the ACME client keeps
// in the settings folder (acme/cert.pem with acme/key.pem), else the owner's own
// (TlsCertificate, TlsKey), else a self-signed one made once in the settings folder
// (tls/self-signed.pem, tls/self-signed-key.pem, owner-only) for the host name, localhost
// and the local addresses, made again when those change. A pair that does not read or whose
// key does not match is passed over. The files are looked at again at most every few
// seconds, and a changed one is used from the next connection on.
//
// Making a key and a certificate, and even looking up the local names, is left to a worker:
// the event loop only reads finished PEM files. Until the first self-signed certificate is
// there, none is in use (Pending() tells that one is being made); `onReady` says when it is.
class CTlsCertificates {
  public:
    enum class Source { kNone, kAcme, kUser, kSelfSigned };
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kCheckEvery{2};

    CTlsCertificates(std::string settingsFolder, std::string userCertificate, std::string userKey);
    ~CTlsCertificates();
    CTlsCertificates(const CTlsCertificates&) = delete;
    CTlsCertificates& operator=(const CTlsCertificates&) = delete;

    // Chooses again when a file changed since the last look, and has the worker look at the
    // self-signed one's names while that one is wanted; looks at most every kCheckEvery
    // unless `force`. True when a certificate is in use.
    bool Refresh(bool force = false, Clock::time_point now = Clock::now());
    CTlsContext& Context() { return context; }
    Source InUse() const { return source; }
    // True while the worker looks at or makes the self-signed certificate.
    bool Pending() const { return pending; }
    // A certificate a browser trusts without asking: the ACME one or the owner's.
    bool Trusted() const { return source == Source::kAcme || source == Source::kUser; }
    // The certificate file in use, its SHA-256 fingerprint ("AB:CD:..."), and its subject
    // alternative names ("DNS:name", "IP:address").
    const std::string& CertificateFile() const { return certificateFile; }
    const std::string& Fingerprint() const { return fingerprint; }
    const std::vector<std::string>& Names() const { return names; }

    // Called on the event loop when the worker's look at the self-signed certificate ended
    // with one in use that was not before, or without any certificate at all.
    std::function<void()> onReady;

    // Seams the tests replace. Both run on the worker, so they must not refer to anything
    // that can go before the worker ends. The names of the self-signed certificate: DNS
    // names and addresses (by default the host name as it is now, localhost, and the
    // addresses of the interfaces).
    std::function<void(std::vector<std::string>& dnsNames, std::vector<std::string>& addresses)>
        localNames;
    // Makes the self-signed pair (MakeSelfSignedCertificate).
    std::function<bool(const std::vector<std::string>& dnsNames,
                       const std::vector<std::string>& addresses,
                       const std::string& certificateFile, const std::string& keyFile)>
        makeSelfSigned;
    // Runs `work` off the event loop and then `done` on it; without an event loop both at once.
    std::function<void(std::function<void()> work, std::function<void()> done)> offLoop;

  private:
    struct SelfSignedLook;
    std::string Stamp() const;
    bool Use(Source chosen, const std::string& certificate, const std::string& key);
    void LookAtSelfSigned();
    void SelfSignedLooked(const SelfSignedLook& look);

    std::string folder;
    std::string userCertificate;
    std::string userKey;
    CTlsContext context;
    Source source = Source::kNone;
    std::string certificateFile;
    std::string fingerprint;
    std::vector<std::string> names;
    std::string lastStamp;
    bool looked = false;
    Clock::time_point lastLook;
    bool wantSelfSigned = false; // neither the ACME pair nor the owner's is usable
    bool pending = false;
    std::shared_ptr<char> alive = std::make_shared<char>(); // the worker's answer finds us
};

} // namespace tvn
