#pragma once

#include <string_view>

namespace tvn {

// What a key of TVN.cfg holds. A flag is a number read with its default cut to the low byte,
// true when not 0.
enum class SettingType { kNumber, kFlag, kText };

// One key of the settings section: its name in TVN.cfg, its type, its default and the folder
// whose code reads and writes it. A default the program works out at run time (a path, a
// fresh secret) is `computed`: the reader passes it, and `described` says what it is.
struct SettingKey {
    const char* name;
    SettingType type;
    const char* owner;
    int number = 0;        // the default of a number or a flag
    const char* text = ""; // the default of a text, as written into the file
    // The default as the README names it, when that is not the stored value itself.
    const char* described = nullptr;
    bool computed = false;
};

namespace setting {

// The server and the main window.
inline constexpr SettingKey kPort{
    .name = "Port", .type = SettingType::kNumber, .owner = "shell", .number = 8080};
inline constexpr SettingKey kEnable{
    .name = "Enable", .type = SettingType::kFlag, .owner = "shell", .number = 1};
inline constexpr SettingKey kHideLog{
    .name = "HideLog", .type = SettingType::kNumber, .owner = "shell", .number = 0};
inline constexpr SettingKey kRoot{.name = "Root",
                                  .type = SettingType::kText,
                                  .owner = "shell",
                                  .described = "`Tarvolin/htdocs`",
                                  .computed = true};
inline constexpr SettingKey kName{.name = "Name", .type = SettingType::kText, .owner = "shell"};
inline constexpr SettingKey kUser{.name = "User", .type = SettingType::kText, .owner = "shell"};
inline constexpr SettingKey kPass{.name = "Pass", .type = SettingType::kText, .owner = "shell"};
inline constexpr SettingKey kDomain{
    .name = "Domain", .type = SettingType::kText, .owner = "shell", .text = "dyndns.org"};
inline constexpr SettingKey kDiscovery{
    .name = "uPnPDiscovery", .type = SettingType::kFlag, .owner = "shell", .number = 1};
inline constexpr SettingKey kWorldwide{
    .name = "uPnPRouter", .type = SettingType::kFlag, .owner = "shell", .number = 1};
// The packed version of the program that last installed the demo site.
inline constexpr SettingKey kCreateDemo{
    .name = "CreateDemo", .type = SettingType::kNumber, .owner = "shell", .number = 0};

// The access log.
inline constexpr SettingKey kLogFileName{.name = "LogFileName",
                                         .type = SettingType::kText,
                                         .owner = "http",
                                         .described = "`tvn.log` beside the program",
                                         .computed = true};
inline constexpr SettingKey kLogFileSize{
    .name = "LogFileSize", .type = SettingType::kNumber, .owner = "http", .number = 1};

// The blog and the map pages.
inline constexpr SettingKey kBlogSound{
    .name = "BlogSound",
    .type = SettingType::kText,
    .owner = "pages",
    .text = "/usr/share/sounds/freedesktop/stereo/message-new-instant.oga",
    .described = "the desktop's new-message sound"};
inline constexpr SettingKey kGoogleApiKey{
    .name = "GoogleApiKey", .type = SettingType::kText, .owner = "pages"};

// The relay link. No public relay service exists: an empty host means no relay link.
inline constexpr SettingKey kServiceHost{
    .name = "ServiceHost", .type = SettingType::kText, .owner = "relay"};
inline constexpr SettingKey kServicePort{
    .name = "ServicePort", .type = SettingType::kNumber, .owner = "relay", .number = 1212};
inline constexpr SettingKey kServicePeriod{
    .name = "ServicePeriod", .type = SettingType::kNumber, .owner = "relay", .number = 20000};
inline constexpr SettingKey kServiceSecret{.name = "ServiceSecret",
                                           .type = SettingType::kText,
                                           .owner = "relay",
                                           .described = "32 random hexadecimal digits",
                                           .computed = true};
// The wait for the service's acknowledgement of each message of an answer, in ms (the
// relay protocol's 5000; tests shorten it).
inline constexpr SettingKey kServiceAckWait{
    .name = "ServiceAckWait", .type = SettingType::kNumber, .owner = "relay", .number = 5000};

// The GPS receiver and its reports.
inline constexpr SettingKey kGpsZadiZoUrl{
    .name = "GpsZadiZoURL",
    .type = SettingType::kText,
    .owner = "gps",
    .text = "http://zadizo.invalid/zadizo/update.php?server=%s&time=%d&lon=%f&lat=%f&port=%d"};
inline constexpr SettingKey kNmeaPortTemplate{.name = "NMEAPortTemplate",
                                              .type = SettingType::kText,
                                              .owner = "gps",
                                              .text = "/dev/ttyUSB%d"};
inline constexpr SettingKey kGpsLogFileName{.name = "GpsLogFileName",
                                            .type = SettingType::kText,
                                            .owner = "gps",
                                            .described = "`gps.log` beside `tvn.log`",
                                            .computed = true};
inline constexpr SettingKey kGpsLogFileSize{
    .name = "GpsLogFileSize", .type = SettingType::kNumber, .owner = "gps", .number = 1};
inline constexpr SettingKey kGpsLogTimePrec{
    .name = "GpsLogTimePrec", .type = SettingType::kNumber, .owner = "gps", .number = 1500};
inline constexpr SettingKey kGpsLogDistPrec{
    .name = "GpsLogDistPrec", .type = SettingType::kText, .owner = "gps", .text = "0.001"};
inline constexpr SettingKey kGpsValidityMin{
    .name = "GpsValidityMin", .type = SettingType::kNumber, .owner = "gps", .number = 1};
inline constexpr SettingKey kGpsValidityMax{
    .name = "GpsValidityMax", .type = SettingType::kNumber, .owner = "gps", .number = 3};
inline constexpr SettingKey kGpsMaxDop{
    .name = "GpsMaxDOP", .type = SettingType::kText, .owner = "gps", .text = "50.0"};
inline constexpr SettingKey kGpsMaxFixes{
    .name = "GpsMaxFixes", .type = SettingType::kNumber, .owner = "gps", .number = 20};
inline constexpr SettingKey kGpsPrevTime{
    .name = "GpsPrevTime", .type = SettingType::kNumber, .owner = "gps", .number = 0};
inline constexpr SettingKey kGpsPrevLon{
    .name = "GpsPrevLon", .type = SettingType::kText, .owner = "gps", .text = "0"};
inline constexpr SettingKey kGpsPrevLat{
    .name = "GpsPrevLat", .type = SettingType::kText, .owner = "gps", .text = "0"};
inline constexpr SettingKey kNmeaSentence{
    .name = "NMEA Pattern3",
    .type = SettingType::kText,
    .owner = "gps",
    .text = "\\$GPGGA,{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},[^,]*?,{[^,]*?},[^"
            "\\*]+?\\*{\\h\\h}",
    .described = "the GGA layout"};
inline constexpr SettingKey kNmeaCoordinate{.name = "NMEAData2",
                                            .type = SettingType::kText,
                                            .owner = "gps",
                                            .text = "{\\-?\\d?\\d\\d}{\\d\\d\\.\\d+}",
                                            .described = "the GGA layout"};
inline constexpr SettingKey kNmeaTime{.name = "NMEATime",
                                      .type = SettingType::kText,
                                      .owner = "gps",
                                      .text = "{\\d\\d}{\\d\\d}{\\d\\d}.*",
                                      .described = "the GGA layout"};

// The network presence: the dynamic DNS client and the last answer it keeps ("*" is none),
// the firewall question, the LAN device's UDN.
inline constexpr SettingKey kDnsUpdateUrl{.name = "DNS_UpdateURL",
                                          .type = SettingType::kText,
                                          .owner = "presence",
                                          .text = "https://members.dyndns.org"};
inline constexpr SettingKey kDnsStatus{
    .name = "DNS_status", .type = SettingType::kNumber, .owner = "presence", .number = 0};
inline constexpr SettingKey kDnsAnswer{
    .name = "DNS_answer", .type = SettingType::kText, .owner = "presence", .text = "*"};
inline constexpr SettingKey kDnsRefused{.name = "DNS_refused",
                                        .type = SettingType::kNumber,
                                        .owner = "presence",
                                        .described = "1 when DNS_answer is a refused login",
                                        .computed = true};
inline constexpr SettingKey kDnsAccount{
    .name = "DNS_account", .type = SettingType::kText, .owner = "presence", .text = "*"};
inline constexpr SettingKey kDnsAddress{
    .name = "DNS_IP", .type = SettingType::kText, .owner = "presence", .text = "*"};
inline constexpr SettingKey kDnsDomain{
    .name = "DNS_domain", .type = SettingType::kText, .owner = "presence", .text = "*"};
inline constexpr SettingKey kDnsName{
    .name = "DNS_name", .type = SettingType::kText, .owner = "presence", .text = "*"};
inline constexpr SettingKey kDnsResult{
    .name = "DNS_result", .type = SettingType::kText, .owner = "presence", .text = "*"};
inline constexpr SettingKey kDnsComment{
    .name = "DNS_comment", .type = SettingType::kText, .owner = "presence", .text = "*"};
inline constexpr SettingKey kNoAskFirewall{
    .name = "NoAskFirewall", .type = SettingType::kNumber, .owner = "presence", .number = 0};
inline constexpr SettingKey kDeviceUdn{.name = "uPnPUDN",
                                       .type = SettingType::kText,
                                       .owner = "presence",
                                       .described = "a new UUID",
                                       .computed = true};
// The ACME service the certificate of the dynamic DNS name comes from, and a PEM file of
// further certificate authorities to trust for it (a test or private service).
inline constexpr SettingKey kAcmeDirectory{.name = "AcmeDirectory",
                                           .type = SettingType::kText,
                                           .owner = "presence",
                                           .text =
                                               "https://acme-v02.api.letsencrypt.org/directory"};
inline constexpr SettingKey kAcmeTrust{
    .name = "AcmeTrust", .type = SettingType::kText, .owner = "presence"};

// The HTTPS listener (0 turns it off) and the owner's own certificate and key, stored paths
// like Root; empty ones leave the choice to the certificate chooser.
inline constexpr SettingKey kHttpsPort{
    .name = "HttpsPort", .type = SettingType::kNumber, .owner = "http", .number = 8443};
inline constexpr SettingKey kTlsCertificate{
    .name = "TlsCertificate", .type = SettingType::kText, .owner = "http", .described = "empty"};
inline constexpr SettingKey kTlsKey{
    .name = "TlsKey", .type = SettingType::kText, .owner = "http", .described = "empty"};

} // namespace setting

// Every key above, in the order of this file.
// clang-format off
inline constexpr const SettingKey* kSettingTable[] = {
    &setting::kPort,           &setting::kEnable,
    &setting::kHideLog,        &setting::kRoot,
    &setting::kName,           &setting::kUser,
    &setting::kPass,           &setting::kDomain,
    &setting::kDiscovery,      &setting::kWorldwide,
    &setting::kCreateDemo,     &setting::kLogFileName,
    &setting::kLogFileSize,    &setting::kBlogSound,
    &setting::kGoogleApiKey,   &setting::kServiceHost,
    &setting::kServicePort,    &setting::kServicePeriod,
    &setting::kServiceSecret,  &setting::kServiceAckWait,
    &setting::kGpsZadiZoUrl,   &setting::kNmeaPortTemplate,
    &setting::kGpsLogFileName, &setting::kGpsLogFileSize,
    &setting::kGpsLogTimePrec, &setting::kGpsLogDistPrec,
    &setting::kGpsValidityMin, &setting::kGpsValidityMax,
    &setting::kGpsMaxDop,      &setting::kGpsMaxFixes,
    &setting::kGpsPrevTime,    &setting::kGpsPrevLon,
    &setting::kGpsPrevLat,     &setting::kNmeaSentence,
    &setting::kNmeaCoordinate, &setting::kNmeaTime,
    &setting::kDnsUpdateUrl,   &setting::kDnsStatus,
    &setting::kDnsAnswer,      &setting::kDnsRefused,
    &setting::kDnsAccount,     &setting::kDnsAddress,
    &setting::kDnsDomain,      &setting::kDnsName,
    &setting::kDnsResult,      &setting::kDnsComment,
    &setting::kNoAskFirewall,  &setting::kDeviceUdn,
    &setting::kHttpsPort,      &setting::kTlsCertificate, &setting::kTlsKey,
    &setting::kAcmeDirectory,  &setting::kAcmeTrust,
};
// clang-format on

// The key named `name` (exact spelling), or null.
constexpr const SettingKey* FindSettingKey(std::string_view name) {
    for (const SettingKey* key : kSettingTable)
        if (name == key->name)
            return key;
    return nullptr;
}

} // namespace tvn
