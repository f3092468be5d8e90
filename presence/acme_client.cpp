#include "presence/acme_client.h"

#include "platform/acme_crypto.h"
#include "platform/file_io.h"
#include "platform/http_client.h"
#include "presence/network_presence.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <ctime>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace tvn {
namespace acme {

bool RenewalDue(std::time_t notBefore, std::time_t notAfter, std::time_t now) {
    if (notAfter <= notBefore || now < notBefore || now >= notAfter)
        return true;
    const std::time_t lifetime = notAfter - notBefore;
    return (now - notBefore) * 3 >= lifetime * 2;
}

long BackoffSeconds(int failures) {
    constexpr long kFirst = 60;
    constexpr long kLongest = 86400;
    if (failures <= 0)
        return 0;
    long wait = kFirst;
    for (int i = 1; i < failures && wait < kLongest; ++i)
        wait *= 2;
    return wait < kLongest ? wait : kLongest;
}

std::string WantedName(const AccessRequest& request, const AccessInfo& info) {
    if (!request.enable || !request.worldwide || request.name.empty() || request.domain.empty())
        return {};
    if (!info.relayName.empty() || !info.label.starts_with("(Worldwide)"))
        return {};
    const std::string name = request.name + "." + request.domain;
    // The host is the registered name (with the port behind it) only once it registered.
    if (info.host != name && !info.host.starts_with(name + ":"))
        return {};
    return name;
}

} // namespace acme

namespace {

constexpr std::size_t kAnswerLimit = 1 << 20;
constexpr const char* kJoseType = "application/jose+json";

std::string UtcText(std::time_t time) {
    struct tm parts {};
    char text[32] = {};
    if (!gmtime_r(&time, &parts) ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts) == 0)
        return "?";
    return text;
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

QJsonObject ParseObject(const std::string& body) {
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray(body.data(), static_cast<qsizetype>(body.size())));
    return document.isObject() ? document.object() : QJsonObject();
}

std::string Str(const QJsonObject& object, const char* name) {
    return object.value(QLatin1String(name)).toString().toStdString();
}

std::string Compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

// One conversation with the directory: its URLs, the account and the nonce of the last
// answer.
class Session {
  public:
    Session(const AcmeSetup& setupIn, CEcKey& keyIn) : setup(setupIn), key(keyIn) {
        options.keepBytes = kAnswerLimit;
        options.caFile = setup.trustFile;
        options.cancel = setup.cancel;
        options.userAgent = "Tarvolin-ACME";
    }

    std::string error;

    bool Directory() {
        const HttpAnswer answer = HttpSend("GET", setup.directoryUrl, {}, {}, options);
        if (!answer.answered || answer.status != 200)
            return Fail("the directory did not answer", answer);
        const QJsonObject directory = ParseObject(answer.body);
        newNonce = Str(directory, "newNonce");
        newAccount = Str(directory, "newAccount");
        newOrder = Str(directory, "newOrder");
        if (newNonce.empty() || newAccount.empty() || newOrder.empty())
            return Fail("the directory lacks newNonce, newAccount or newOrder", answer);
        return true;
    }

    bool Account() {
        QJsonObject payload;
        payload.insert("termsOfServiceAgreed", true);
        HttpAnswer answer;
        if (!Post(newAccount, Compact(payload), answer, true))
            return false;
        if ((answer.status != 200 && answer.status != 201) || answer.location.empty())
            return Fail("the account was refused", answer);
        kid = answer.location;
        return true;
    }

    // A signed POST; `withJwk` names the key itself instead of the account. A refused nonce
    // is tried once more with the fresh one that came with the refusal.
    bool Post(const std::string& url, const std::string& payload, HttpAnswer& answer,
              bool withJwk = false) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (nonce.empty() && !FreshNonce())
                return false;
            QJsonObject header;
            header.insert("alg", "ES256");
            header.insert("nonce", QString::fromStdString(nonce));
            header.insert("url", QString::fromStdString(url));
            if (withJwk)
                header.insert("jwk", ParseObject(key.Jwk()));
            else
                header.insert("kid", QString::fromStdString(kid));
            nonce.clear();
            const std::string jws = MakeJws(key, Compact(header), payload);
            if (jws.empty())
                return Fail("the request could not be signed");
            answer = HttpSend("POST", url, jws, kJoseType, options);
            if (!answer.replayNonce.empty())
                nonce = answer.replayNonce;
            if (!answer.answered)
                return Fail("no answer from " + url, answer);
            if (answer.status == 400 &&
                Str(ParseObject(answer.body), "type") == "urn:ietf:params:acme:error:badNonce")
                continue;
            return true;
        }
        return Fail("the nonce was refused twice", answer);
    }

    // POST-as-GET of `url` until its status leaves "pending" and "processing".
    bool PollUntilSettled(const std::string& url, QJsonObject& object) {
        for (int tries = 0; tries < setup.pollTries; ++tries) {
            if (Cancelled())
                return Fail("cancelled");
            HttpAnswer answer;
            if (!Post(url, {}, answer))
                return false;
            if (answer.status != 200)
                return Fail("a look at " + url + " failed", answer);
            object = ParseObject(answer.body);
            const std::string status = Str(object, "status");
            if (status != "pending" && status != "processing")
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(setup.pollMs));
        }
        return Fail("still pending after every look at " + url);
    }

    bool Fail(const std::string& what, const HttpAnswer& answer = {}) {
        error = what;
        if (answer.answered) {
            error += " (" + std::to_string(answer.status);
            const std::string detail = Str(ParseObject(answer.body), "detail");
            if (!detail.empty())
                error += ": " + detail;
            error += ")";
        } else if (answer.error) {
            error += " (error " + std::to_string(answer.error) + ")";
        }
        for (char& c : error)
            if (static_cast<unsigned char>(c) < 0x20)
                c = ' ';
        return false;
    }

    bool Cancelled() const { return setup.cancel && setup.cancel->load(); }

    std::string newOrder;

  private:
    bool FreshNonce() {
        const HttpAnswer answer = HttpSend("HEAD", newNonce, {}, {}, options);
        if (!answer.answered || answer.replayNonce.empty())
            return Fail("no nonce came", answer);
        nonce = answer.replayNonce;
        return true;
    }

    const AcmeSetup& setup;
    CEcKey& key;
    HttpGetOptions options;
    std::string newNonce;
    std::string newAccount;
    std::string kid;
    std::string nonce;
};

// Publishes a token for the time it is being validated.
class PublishedToken {
  public:
    PublishedToken(CAcmeChallenges& tableIn, std::string tokenIn, const std::string& answer)
        : table(tableIn), token(std::move(tokenIn)) {
        table.Publish(token, answer);
    }
    ~PublishedToken() { table.Withdraw(token); }
    PublishedToken(const PublishedToken&) = delete;
    PublishedToken& operator=(const PublishedToken&) = delete;

  private:
    CAcmeChallenges& table;
    std::string token;
};

bool Authorize(Session& session, const std::string& url, const std::string& thumbprint,
               CAcmeChallenges& challenges) {
    HttpAnswer answer;
    if (!session.Post(url, {}, answer))
        return false;
    if (answer.status != 200)
        return session.Fail("the authorization could not be read", answer);
    QJsonObject authorization = ParseObject(answer.body);
    if (Str(authorization, "status") == "valid")
        return true; // validated before, and still good
    std::string challengeUrl;
    std::string token;
    for (const auto& entry : authorization.value("challenges").toArray()) {
        const QJsonObject challenge = entry.toObject();
        if (Str(challenge, "type") == "http-01") {
            challengeUrl = Str(challenge, "url");
            token = Str(challenge, "token");
        }
    }
    if (challengeUrl.empty() || !IsAcmeToken(token))
        return session.Fail("no http-01 challenge offered");
    const PublishedToken published(challenges, token, token + "." + thumbprint);
    if (!session.Post(challengeUrl, "{}", answer))
        return false;
    if (answer.status != 200)
        return session.Fail("the challenge was refused", answer);
    if (!session.PollUntilSettled(url, authorization))
        return false;
    if (Str(authorization, "status") != "valid") {
        std::string detail;
        for (const auto& entry : authorization.value("challenges").toArray()) {
            const QJsonObject error = entry.toObject().value("error").toObject();
            if (!error.isEmpty())
                detail = Str(error, "detail");
        }
        return session.Fail("the name was not validated" + (detail.empty() ? "" : ": " + detail));
    }
    return true;
}

bool EnsureFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0)
        return true;
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

std::string AcmeCertificatePath(const std::string& folder) { return folder + "/acme/cert.pem"; }
std::string AcmeKeyPath(const std::string& folder) { return folder + "/acme/key.pem"; }
std::string AcmeAccountKeyPath(const std::string& folder) { return folder + "/acme/account.pem"; }

std::string ObtainCertificate(const AcmeSetup& setup, CAcmeChallenges& challenges) {
    if (setup.dnsName.empty() || setup.folder.empty() || setup.directoryUrl.empty())
        return "no name, folder or directory";
    if (!EnsureFolder(setup.folder + "/acme"))
        return "the folder acme/ could not be made";
    // The account key is made once and kept: the service knows the account by it.
    const std::string accountPath = AcmeAccountKeyPath(setup.folder);
    CEcKey accountKey = CEcKey::FromPem(ReadWhole(accountPath));
    if (!accountKey.Valid()) {
        accountKey = CEcKey::Generate();
        if (!accountKey.Valid() || ReplaceWhole(accountPath, accountKey.PrivatePem(), 0600) != 0)
            return "the account key could not be kept";
    }
    Session session(setup, accountKey);
    if (!session.Directory() || !session.Account())
        return session.error;

    QJsonObject identifier;
    identifier.insert("type", "dns");
    identifier.insert("value", QString::fromStdString(setup.dnsName));
    QJsonObject request;
    request.insert("identifiers", QJsonArray{identifier});
    HttpAnswer answer;
    if (!session.Post(session.newOrder, Compact(request), answer))
        return session.error;
    if (answer.status != 201 || answer.location.empty()) {
        session.Fail("the order was refused", answer);
        return session.error;
    }
    const std::string orderUrl = answer.location;
    QJsonObject order = ParseObject(answer.body);
    const std::string thumbprint = JwkThumbprint(accountKey.Jwk());
    for (const auto& entry : order.value("authorizations").toArray()) {
        if (!Authorize(session, entry.toString().toStdString(), thumbprint, challenges))
            return session.error;
    }

    CEcKey certificateKey = CEcKey::Generate();
    const std::string csr = certificateKey.CertificateRequest(setup.dnsName);
    if (csr.empty())
        return "the certificate request could not be made";
    QJsonObject finalize;
    finalize.insert("csr", QString::fromStdString(Base64Url(csr)));
    if (!session.Post(Str(order, "finalize"), Compact(finalize), answer))
        return session.error;
    if (answer.status != 200) {
        session.Fail("the finalization was refused", answer);
        return session.error;
    }
    order = ParseObject(answer.body);
    if (Str(order, "status") != "valid" && !session.PollUntilSettled(orderUrl, order))
        return session.error;
    const std::string certificateUrl = Str(order, "certificate");
    if (Str(order, "status") != "valid" || certificateUrl.empty())
        return "the order ended " + Str(order, "status");
    if (!session.Post(certificateUrl, {}, answer))
        return session.error;
    if (answer.status != 200) {
        session.Fail("the certificate could not be fetched", answer);
        return session.error;
    }

    const std::string chain = answer.body;
    const std::string keyPem = certificateKey.PrivatePem();
    const auto info = ReadCertificate(chain);
    if (!info || info->dnsNames != setup.dnsName + "\n" || !CertificateMatchesKey(chain, keyPem) ||
        chain.size() >= kAnswerLimit)
        return "the certificate that came is not one for the name and the new key";
    if (ReplaceWhole(AcmeKeyPath(setup.folder), keyPem, 0600) != 0 ||
        ReplaceWhole(AcmeCertificatePath(setup.folder), chain, 0600) != 0)
        return "the certificate could not be written";
    return {};
}

CAcmeWorker::CAcmeWorker(CAcmeChallenges& challengesIn, std::function<std::time_t()> nowIn,
                         std::function<void(const std::string&)> reportIn)
    : challenges(challengesIn), now(std::move(nowIn)), report(std::move(reportIn)) {}

CAcmeWorker::~CAcmeWorker() { Stop(); }

int CAcmeWorker::Stop() {
    cancel = true;
    const int result = CWorkThread::Stop();
    cancel = false;
    return result;
}

void CAcmeWorker::Configure(const AcmeSetup& newSetup) {
    const std::lock_guard guard(lock);
    if (newSetup.dnsName != setup.dnsName) {
        failures = 0;
        nextTry = 0;
    }
    setup = newSetup;
    setup.cancel = &cancel;
}

int CAcmeWorker::Failures() const {
    const std::lock_guard guard(lock);
    return failures;
}

long CAcmeWorker::CurrentBackoff() const {
    const std::lock_guard guard(lock);
    return acme::BackoffSeconds(failures);
}

void CAcmeWorker::Notify(bool final) {
    if (!final)
        RunOnce();
}

void CAcmeWorker::RunOnce() {
    AcmeSetup current;
    std::time_t at = now();
    {
        const std::lock_guard guard(lock);
        if (setup.dnsName.empty() || at < nextTry)
            return;
        current = setup;
    }
    const auto held = ReadCertificate(ReadWhole(AcmeCertificatePath(current.folder)));
    if (held && held->dnsNames == current.dnsName + "\n" &&
        !acme::RenewalDue(held->notBefore, held->notAfter, at))
        return;
    const std::string error = ObtainCertificate(current, challenges);
    if (cancel)
        return; // stopped: not a failure of the service
    at = now();
    std::string line;
    {
        const std::lock_guard guard(lock);
        if (error.empty()) {
            failures = 0;
            nextTry = 0;
        } else {
            ++failures;
            nextTry = at + acme::BackoffSeconds(failures);
        }
        if (error.empty()) {
            const auto got = ReadCertificate(ReadWhole(AcmeCertificatePath(current.folder)));
            line = "ACME: certificate for " + current.dnsName + " until " +
                   (got ? UtcText(got->notAfter) : std::string("?"));
        } else {
            line = "ACME: no certificate for " + current.dnsName + ": " + error + "; next try in " +
                   std::to_string(acme::BackoffSeconds(failures)) + " s";
        }
    }
    if (report)
        report(line);
}

} // namespace tvn
