#include "http/tls_certificates.h"

#include "platform/interfaces.h"
#include "platform/system_paths.h"

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

void SystemNames(const std::string& hostName, std::vector<std::string>& dnsNames,
                 std::vector<std::string>& addresses) {
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

} // namespace

CTlsCertificates::CTlsCertificates(std::string settingsFolder, std::string certificate,
                                   std::string key, std::string host)
    : folder(std::move(settingsFolder)), userCertificate(std::move(certificate)),
      userKey(std::move(key)), hostName(std::move(host)) {
    localNames = [this](std::vector<std::string>& dnsNames, std::vector<std::string>& addresses) {
        SystemNames(hostName, dnsNames, addresses);
    };
}

std::string CTlsCertificates::Stamp() const {
    std::string stamp = FileStamp(JoinPath(folder, "acme/cert.pem")) +
                        FileStamp(JoinPath(folder, "acme/key.pem")) + FileStamp(userCertificate) +
                        FileStamp(userKey);
    if (source == Source::kSelfSigned || source == Source::kNone) {
        std::vector<std::string> dnsNames;
        std::vector<std::string> addresses;
        localNames(dnsNames, addresses);
        for (const std::string& name : Wanted(dnsNames, addresses))
            stamp += name + ";";
    }
    return stamp;
}

bool CTlsCertificates::Refresh(bool force, Clock::time_point now) {
    if (!force && looked && now - lastLook < kCheckEvery)
        return context.HasCertificate();
    looked = true;
    lastLook = now;
    const std::string stamp = Stamp();
    if (!force && stamp == lastStamp)
        return context.HasCertificate();
    const std::string acmeCertificate = JoinPath(folder, "acme/cert.pem");
    const std::string acmeKey = JoinPath(folder, "acme/key.pem");
    if (Exists(acmeCertificate) && Exists(acmeKey) &&
        context.UseCertificate(acmeCertificate, acmeKey)) {
        source = Source::kAcme;
        certificateFile = acmeCertificate;
    } else if (Exists(userCertificate) && Exists(userKey) &&
               context.UseCertificate(userCertificate, userKey)) {
        source = Source::kUser;
        certificateFile = userCertificate;
    } else if (UseSelfSigned()) {
        source = Source::kSelfSigned;
    } else {
        source = context.HasCertificate() ? source : Source::kNone;
    }
    fingerprint = CertificateFingerprint(certificateFile);
    lastStamp = Stamp(); // after the choice: the self-signed names count only for that one
    return context.HasCertificate();
}

bool CTlsCertificates::UseSelfSigned() {
    std::vector<std::string> dnsNames;
    std::vector<std::string> addresses;
    localNames(dnsNames, addresses);
    const std::string tlsFolder = JoinPath(folder, "tls");
    const std::string certificate = JoinPath(tlsFolder, "self-signed.pem");
    const std::string key = JoinPath(tlsFolder, "self-signed-key.pem");
    ::mkdir(tlsFolder.c_str(), 0700);
    const bool current = CertificateNames(certificate) == Wanted(dnsNames, addresses) &&
                         CertificateMatchesKey(certificate, key);
    if (!current && !MakeSelfSignedCertificate(dnsNames, addresses, certificate, key))
        return false;
    if (!context.UseCertificate(certificate, key))
        return false;
    certificateFile = certificate;
    return true;
}

} // namespace tvn
