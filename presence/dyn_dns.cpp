#include "presence/dyn_dns.h"

#include "config/settings_section.h"
#include "platform/http_client.h"
#include "presence/detail/dyn_dns_text.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QMetaObject>
#include <cstdio>

namespace tvn {
namespace {

using presence::DnsAnswer;

constexpr const char* kUserAgent = "Quorvane/TVN Tarvolin/1.5";
constexpr const char* kNone = "*"; // a stored value that means "none"
constexpr long kConnectTimeoutMs = 10000;
constexpr long kTimeoutMs = 30000;

// What is kept of the account last sent: enough to see that it changed, without the
// password itself.
std::string AccountDigest(const std::string& user, const std::string& password) {
    QByteArray bytes(user.data(), static_cast<qsizetype>(user.size()));
    bytes.append('\0');
    bytes.append(password.data(), static_cast<qsizetype>(password.size()));
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
}

std::string OrNone(const std::string& text) { return text.empty() ? kNone : text; }

std::string UpdateUrl() { return SettingsSection().Text(setting::kDnsUpdateUrl); }

std::string Formatted(const char* format, const std::string& host, const char* word,
                      const std::string& answer, long httpStatus) {
    const int length = std::snprintf(nullptr, 0, format, host.c_str(), word, answer.c_str(),
                                     static_cast<int>(httpStatus));
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, format, host.c_str(), word, answer.c_str(),
                  static_cast<int>(httpStatus));
    return text;
}

} // namespace

struct CDynDns::Plan {
    enum class Kind { Answer, Send, Plugin };
    Kind kind = Kind::Answer;
    DynDnsAccount account;
    DynDnsResult result; // the outcome when kind is Answer
    std::string url;
};

CDynDns::CDynDns(const std::string& pluginFolder) : plugin(pluginFolder) {
    const SettingsSection settings;
    status = settings.Number(setting::kDnsStatus);
    // A refused login outlives the program: the same account is not sent again after a
    // restart, and a corrected one is sent once. A file without DNS_refused tells it by the
    // last answer.
    const std::string answer = settings.Text(setting::kDnsAnswer);
    const bool refusedBefore =
        status != 1 && presence::IsRefusedLogin(presence::ClassifyAnswer(0, answer));
    refusedLogin = settings.Number(setting::kDnsRefused, refusedBefore ? 1 : 0) == 1;
    lastAccount = settings.Text(setting::kDnsAccount);
}

CDynDns::~CDynDns() {
    cancel = true;
    if (worker.joinable())
        worker.join();
}

void CDynDns::LoadCache() {
    const SettingsSection settings;
    const auto load = [&](std::string& cached, const SettingKey& key) {
        if (cached.empty())
            cached = settings.Text(key);
    };
    load(cachedAddress, setting::kDnsAddress);
    load(cachedDomain, setting::kDnsDomain);
    load(cachedName, setting::kDnsName);
    load(cachedResult, setting::kDnsResult);
    if (cachedComment.empty()) {
        cachedComment = settings.Text(setting::kDnsComment);
        // The settings file trims its values, and every stored status text begins with the
        // space that separates it from the label it is appended to.
        if (cachedComment != kNone && !cachedComment.starts_with(' '))
            cachedComment.insert(0, 1, ' ');
    }
}

CDynDns::Plan CDynDns::Prepare(const DynDnsAccount& account) {
    Plan plan;
    plan.account = account;
    plan.result.address = account.address;
    if (plugin.HasStart()) {
        plan.kind = Plan::Kind::Plugin;
        return plan;
    }
    LoadCache();
    if (account.user.empty() || account.password.empty() || account.name.empty())
        return plan;
    const bool sameHost = account.name == cachedName && account.domain == cachedDomain &&
                          account.address == cachedAddress;
    const bool accountChanged = AccountDigest(account.user, account.password) != lastAccount;
    if (sameHost && !(refusedLogin && accountChanged)) {
        if (cachedResult != kNone)
            plan.result.address = cachedResult;
        if (cachedComment != kNone)
            plan.result.status = cachedComment;
        plan.result.registered = status;
        return plan;
    }
    const auto base = presence::UpdateBase(UpdateUrl());
    const auto path = presence::UpdatePath(account.name, account.domain, account.address);
    if (!base)
        plan.result.status = "DynDns No connection";
    else if (!path)
        plan.result.status = "Network unavailable";
    else {
        status = 0; // the refused-login flag stays until other account data are answered
        plan.kind = Plan::Kind::Send;
        plan.url = *base + *path;
    }
    return plan;
}

DynDnsResult CDynDns::Finish(const Plan& plan, long httpStatus, const std::string& body) {
    const SettingsSection settings;
    const DynDnsAccount& account = plan.account;
    const std::string sent = AccountDigest(account.user, account.password);
    const bool otherAccount = sent != lastAccount;
    lastAccount = sent;
    settings.Store(setting::kDnsAccount, lastAccount);
    cachedAddress = account.address;
    cachedDomain = account.domain;
    cachedName = account.name;
    settings.Store(setting::kDnsAddress, cachedAddress);
    settings.Store(setting::kDnsDomain, cachedDomain);
    settings.Store(setting::kDnsName, cachedName);

    // The answer is the service's to choose: only one printable line of it is kept or shown.
    const std::string line = presence::OneLine(body);
    const DnsAnswer answer = presence::ClassifyAnswer(httpStatus, line);
    const std::string host = account.name + "." + account.domain;
    DynDnsResult result;
    result.address = account.address;
    if (answer == DnsAnswer::Good || answer == DnsAnswer::NoChange) {
        cachedResult = host;
        settings.Store(setting::kDnsResult, cachedResult);
        result.address = host;
        status = 1;
    } else {
        result.status = Formatted(" DynDns for '%s' says: %s '%s' (HTTP %d)", host,
                                  presence::AnswerWord(answer), line, httpStatus);
        if (cachedResult != kNone)
            result.address = cachedResult;
    }
    // A refusal ends only with other account data: a later answer for the same account (at a
    // new address, say) leaves it, so the corrected account is still sent once.
    if (presence::IsRefusedLogin(answer))
        refusedLogin = true;
    else if (otherAccount)
        refusedLogin = false;
    settings.Store(setting::kDnsRefused, refusedLogin ? 1 : 0);
    cachedComment = OrNone(result.status);
    settings.Store(setting::kDnsComment, cachedComment);
    settings.Store(setting::kDnsAnswer, OrNone(line));
    settings.Store(setting::kDnsStatus, status);
    result.registered = status;
    return result;
}

bool CDynDns::Update(const DynDnsAccount& account, std::function<void(const DynDnsResult&)> done) {
    if (busy)
        return false;
    busy = true;
    if (worker.joinable())
        worker.join(); // the last one has handed its result over and is ending
    Run(Prepare(account), std::move(done));
    return true;
}

void CDynDns::Run(Plan plan, std::function<void(const DynDnsResult&)> done) {
    if (plan.kind == Plan::Kind::Answer) {
        QMetaObject::invokeMethod(
            &context,
            [this, result = std::move(plan.result), done = std::move(done)] {
                busy = false;
                done(result);
            },
            Qt::QueuedConnection);
        return;
    }
    worker = std::thread([this, plan = std::move(plan), done = std::move(done)]() mutable {
        HttpGetResult answer;
        if (plan.kind == Plan::Kind::Plugin) {
            const DynDnsAccount& a = plan.account;
            plan.result.registered = plugin
                                         .Start(a.user, a.password, a.name, a.domain,
                                                plan.result.address, plan.result.status)
                                         .value_or(0);
        } else {
            HttpGetOptions options;
            options.connectTimeoutMs = kConnectTimeoutMs;
            options.totalTimeoutMs = kTimeoutMs;
            options.cancel = &cancel;
            options.userAgent = kUserAgent;
            options.user = plan.account.user;
            options.password = plan.account.password;
            answer = HttpGet(plan.url, options);
        }
        QMetaObject::invokeMethod(
            &context,
            [this, plan = std::move(plan), answer = std::move(answer), done = std::move(done)] {
                DynDnsResult result = plan.result;
                if (plan.kind == Plan::Kind::Send && answer.answered)
                    result = Finish(plan, answer.status, answer.body);
                else if (plan.kind == Plan::Kind::Send)
                    // Nothing is stored, so the next refresh tries again.
                    result.status = "DynDns Connection error " + std::to_string(answer.error);
                busy = false;
                done(result);
            },
            Qt::QueuedConnection);
    });
}

void CDynDns::PatchOptions(DdnsDomainList& domains, std::string& domain, std::string& name,
                           std::string& user, bool loading) const {
    if (plugin.PatchOptions(domains, domain, name, user, loading) || !loading ||
        domains.entries.empty())
        return;
    domains.selected = -1;
    for (std::size_t i = 0; i < domains.entries.size(); ++i) {
        if (domains.entries[i] == domain) {
            domains.selected = static_cast<int>(i);
            break;
        }
    }
    if (domains.selected < 0 && OwnService())
        return; // another service's domain
    if (domains.selected < 0)
        domains.selected = 0;
    domain = domains.entries[static_cast<std::size_t>(domains.selected)];
}

bool CDynDns::Register() const { return plugin.Register(); }

bool CDynDns::OwnService() { return !presence::IsDefaultUpdateService(UpdateUrl()); }

const std::vector<std::string>& DynDnsDomains() {
    // The free domains of the default service (members.dyndns.org).
    static const std::vector<std::string> domains = {
        "dyndns.org",    "dyndns.info",   "dyndns.biz",    "dnsalias.com",  "dnsalias.net",
        "dnsalias.org",  "homeip.net",    "homelinux.com", "homelinux.net", "homelinux.org",
        "is-a-geek.com", "is-a-geek.net", "is-a-geek.org", "selfip.com",    "selfip.net",
        "selfip.org",    "gotdns.com",    "mine.nu",       "shacknet.nu",   "dyndns.tv",
        "dyndns.ws"};
    return domains;
}

} // namespace tvn
