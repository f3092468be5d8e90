#include "http/tls_certificates.h"

#include "http/http_svr_doc.h"
#include "platform/interfaces.h"
#include "platform/system_paths.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <algorithm>
#include <sys/stat.h>

namespace tvn {
namespace {

std::string FileStamp(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0)
        return "-;";
    return std::to_string(info.st_ino) + "," + std::to_string(info.st_size) + "," +
           std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + ";";
}

bool Exists(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The host name as it is now: a renamed computer gets a certificate for its new name.
void SystemNames(std::vector<std::string>& dnsNames, std::vector<std::string>& addresses) {
    const std::string hostName = LocalHostName();
    if (!hostName.empty() && hostName != "localhost")
        dnsNames.push_back(hostName);
    dnsNames.push_back("localhost");
    addresses.push_back("127.0.0.1");
    for (const NetInterface& interface : ListInterfaces())
        if (!interface.address.empty() &&
            std::find(addresses.begin(), addresses.end(), interface.address) == addresses.end())
            addresses.push_back(interface.address);
    addresses.push_back("::1");
}

std::vector<std::string> Wanted(const std::vector<std::string>& dnsNames,
                                const std::vector<std::string>& addresses) {
    std::vector<std::string> names;
    for (const std::string& name : dnsNames)
        names.push_back("DNS:" + name);
    for (const std::string& address : addresses)
        names.push_back("IP:" + address);
    return names;
}

void OnWorker(std::function<void()> work, std::function<void()> done) {
    QCoreApplication* loop = QCoreApplication::instance();
    QThreadPool* pool = QThreadPool::globalInstance();
    if (loop == nullptr || pool == nullptr) {
        work();
        done();
        return;
    }
    pool->start([loop, work = std::move(work), done = std::move(done)] {
        work();
        QMetaObject::invokeMethod(loop, done, Qt::QueuedConnection);
    });
}

} // namespace

// What the worker found: the names wanted now, and whether the pair on disk is for them
// (made now or before).
struct CTlsCertificates::SelfSignedLook {
    std::vector<std::string> names;
    bool ready = false;
    bool same = false; // the names are those of the certificate in use: nothing to load
};

CTlsCertificates::CTlsCertificates(std::string settingsFolder, std::string certificate,
                                   std::string key)
    : folder(std::move(settingsFolder)), userCertificate(std::move(certificate)),
      userKey(std::move(key)) {
    localNames = SystemNames;
    makeSelfSigned = MakeSelfSignedCertificate;
    offLoop = OnWorker;
}

CTlsCertificates::~CTlsCertificates() = default;

std::string CTlsCertificates::Stamp() const {
    return FileStamp(JoinPath(folder, "acme/cert.pem")) +
           FileStamp(JoinPath(folder, "acme/key.pem")) + FileStamp(userCertificate) +
           FileStamp(userKey);
}

bool CTlsCertificates::Refresh(bool force, Clock::time_point now) {
    if (!force && looked && now - lastLook < kCheckEvery)
        return context.HasCertificate();
    looked = true;
    lastLook = now;
    const std::string stamp = Stamp();
    if (force || stamp != lastStamp) {
        lastStamp = stamp;
        const std::string acmeCertificate = JoinPath(folder, "acme/cert.pem");
        const std::string acmeKey = JoinPath(folder, "acme/key.pem");
        wantSelfSigned = !(Exists(acmeCertificate) && Exists(acmeKey) &&
                           Use(Source::kAcme, acmeCertificate, acmeKey)) &&
                         !(Exists(userCertificate) && Exists(userKey) &&
                           Use(Source::kUser, userCertificate, userKey));
    }
    // The local names may have changed without any file doing so: the worker looks.
    if (wantSelfSigned)
        LookAtSelfSigned();
    return context.HasCertificate();
}

bool CTlsCertificates::Use(Source chosen, const std::string& certificate, const std::string& key) {
    if (!context.UseCertificate(certificate, key))
        return false;
    source = chosen;
    certificateFile = certificate;
    fingerprint = CertificateFingerprint(certificate);
    names = CertificateNames(certificate);
    return true;
}

// One look at a time; a look that is due while one runs is left to the next Refresh.
void CTlsCertificates::LookAtSelfSigned() {
    if (pending)
        return;
    pending = true;
    const std::string tlsFolder = JoinPath(folder, "tls");
    auto look = std::make_shared<SelfSignedLook>();
    std::vector<std::string> inUse =
        source == Source::kSelfSigned ? names : std::vector<std::string>();
    offLoop(
        [look, inUse = std::move(inUse), tlsFolder, listNames = localNames, make = makeSelfSigned] {
            std::vector<std::string> dnsNames;
            std::vector<std::string> addresses;
            listNames(dnsNames, addresses);
            look->names = Wanted(dnsNames, addresses);
            look->same = !inUse.empty() && inUse == look->names;
            if (look->same) {
                look->ready = true;
                return;
            }
            const std::string certificate = JoinPath(tlsFolder, "self-signed.pem");
            const std::string key = JoinPath(tlsFolder, "self-signed-key.pem");
            ::mkdir(tlsFolder.c_str(), 0700);
            // Made once: a start with the same names keeps the one the owner compared.
            look->ready = (CertificateNames(certificate) == look->names &&
                           CertificateMatchesKey(certificate, key)) ||
                          make(dnsNames, addresses, certificate, key);
        },
        [this, look, ticket = std::weak_ptr<char>(alive)] {
            if (ticket.lock())
                SelfSignedLooked(*look);
        });
}

void CTlsCertificates::SelfSignedLooked(const SelfSignedLook& look) {
    pending = false;
    // The ACME pair or the owner's may have come meanwhile: those go first.
    if (!wantSelfSigned || (look.ready && look.same))
        return;
    const std::string tlsFolder = JoinPath(folder, "tls");
    const bool used = look.ready && Use(Source::kSelfSigned, JoinPath(tlsFolder, "self-signed.pem"),
                                        JoinPath(tlsFolder, "self-signed-key.pem"));
    if ((used || !context.HasCertificate()) && onReady)
        onReady();
}

} // namespace tvn
