#pragma once

// The certificate of the dynamic DNS name from an ACME service (Let's Encrypt by default),
// validated with http-01 answers from the plain listener, kept in the settings folder as
// acme/cert.pem (the chain) and acme/key.pem (its key), next to the account key
// acme/account.pem; all three readable by the user only.
#include "http/acme_challenges.h"
#include "platform/work_thread.h"

#include <atomic>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

namespace tvn {

struct AccessRequest;
struct AccessInfo;

namespace acme {
// True when a certificate valid from `notBefore` to `notAfter` is to be renewed at `now`:
// two thirds of its lifetime have passed (or it is not valid yet, or no more).
bool RenewalDue(std::time_t notBefore, std::time_t notAfter, std::time_t now);
// The wait before the next try after `failures` failures in a row: none after none, one
// minute after the first, doubling up to a day.
long BackoffSeconds(int failures);
// The name a certificate is wanted for: the dynamic DNS name, when a refresh found it
// registered and the router mapping working; else empty.
std::string WantedName(const AccessRequest& request, const AccessInfo& info);
} // namespace acme

// Where an ACME order goes and what it asks for.
struct AcmeSetup {
    std::string directoryUrl; // AcmeDirectory
    std::string trustFile;    // AcmeTrust: further CAs for the directory's https, may be empty
    std::string dnsName;      // the name the certificate is for
    std::string folder;       // where acme/ lives: the settings folder
    const std::atomic<bool>* cancel = nullptr;
    int pollMs = 1000; // between looks at an authorization or order under way
    int pollTries = 60;
};

// Runs one whole order on the calling thread (a worker: it blocks on the network): the
// account, the order, the http-01 answers through `challenges`, the finalization and the
// download. The files are replaced only when a complete certificate for the name, matching
// its new key, came. An empty text on success, else what went wrong (one line).
std::string ObtainCertificate(const AcmeSetup& setup, CAcmeChallenges& challenges);

// The paths of the three files below `folder`.
std::string AcmeCertificatePath(const std::string& folder);
std::string AcmeKeyPath(const std::string& folder);
std::string AcmeAccountKeyPath(const std::string& folder);

// Keeps the certificate of one name fresh on a worker of its own: at every period it
// orders a certificate when none is there for the name, or when renewal is due; after a
// failure it waits the backoff first. Each outcome goes to `report` (from the worker).
class CAcmeWorker : public CWorkThread {
  public:
    // `now` gives the time (the tests pass it in); `report` gets one line per outcome.
    CAcmeWorker(CAcmeChallenges& challenges, std::function<std::time_t()> now,
                std::function<void(const std::string&)> report);
    ~CAcmeWorker() override;

    // The setup of the next rounds; a new name starts over (no backoff left).
    void Configure(const AcmeSetup& setup);
    // One round now, on the calling thread: what Notify does at each period.
    void RunOnce();
    int Failures() const;
    long CurrentBackoff() const;
    int Stop() override;

  protected:
    void Notify(bool final) override;

  private:
    CAcmeChallenges& challenges;
    std::function<std::time_t()> now;
    std::function<void(const std::string&)> report;
    mutable std::mutex lock; // guards the fields below
    AcmeSetup setup;
    int failures = 0;
    std::time_t nextTry = 0;
    std::atomic<bool> cancel = false;
};

} // namespace tvn
