#pragma once

#include "platform/tls.h"

#include <chrono>
#include <functional>
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
class CTlsCertificates {
  public:
    enum class Source { kNone, kAcme, kUser, kSelfSigned };
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kCheckEvery{2};

    // `names` gives the DNS names and the addresses a self-signed certificate is for.
    CTlsCertificates(std::string settingsFolder, std::string userCertificate, std::string userKey,
                     std::string hostName);

    // Chooses again when a file or the local names changed since the last look; looks at
    // most every kCheckEvery unless `force`. True when a certificate is in use.
    bool Refresh(bool force = false, Clock::time_point now = Clock::now());
    CTlsContext& Context() { return context; }
    Source InUse() const { return source; }
    // A certificate a browser trusts without asking: the ACME one or the owner's.
    bool Trusted() const { return source == Source::kAcme || source == Source::kUser; }
    // The certificate file in use, and its SHA-256 fingerprint ("AB:CD:...").
    const std::string& CertificateFile() const { return certificateFile; }
    const std::string& Fingerprint() const { return fingerprint; }

    // The names of the self-signed certificate: DNS names and addresses. Tests replace it.
    std::function<void(std::vector<std::string>& dnsNames, std::vector<std::string>& addresses)>
        localNames;

  private:
    std::string Stamp() const;
    bool UseSelfSigned();

    std::string folder;
    std::string userCertificate;
    std::string userKey;
    std::string hostName;
    CTlsContext context;
    Source source = Source::kNone;
    std::string certificateFile;
    std::string fingerprint;
    std::string lastStamp;
    bool looked = false;
    Clock::time_point lastLook;
};

} // namespace tvn
