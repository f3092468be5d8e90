// The settings table: its keys and defaults as TVN.cfg files have always held them, and the
// README's key tables naming only keys of the table, with the table's defaults.
#include "config/setting_keys.h"
#include "config/settings_section.h"
#include "support/temp_dir.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tvn {
namespace {

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

std::string WithoutBackticks(std::string_view text) {
    std::string plain;
    for (const char c : text)
        if (c != '`')
            plain.push_back(c);
    return plain;
}

std::vector<std::string_view> Split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(Trimmed(text.substr(0, at)));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + separator.size());
    }
}

// The default of `key` as the README is to name it.
std::string ReadmeDefault(const SettingKey& key) {
    if (key.described != nullptr)
        return WithoutBackticks(key.described);
    return key.type == SettingType::kText ? std::string(key.text) : std::to_string(key.number);
}

struct ReadmeCheck {
    int tables = 0;
    int keys = 0;
    std::vector<std::string> mismatches;
};

// Reads every table whose first column is "Key": each row names one or more keys in
// backticks and their defaults, separated by ", " (one default for all of them, or one each).
ReadmeCheck CheckReadme(std::string_view readme) {
    ReadmeCheck check;
    bool inKeyTable = false;
    for (const std::string_view line : Split(readme, "\n")) {
        if (!line.starts_with('|')) {
            inKeyTable = false;
            continue;
        }
        const std::vector<std::string_view> cells = Split(line.substr(1), "|");
        if (!inKeyTable) {
            inKeyTable = cells.size() >= 2 && cells[0] == "Key";
            check.tables += inKeyTable ? 1 : 0;
            continue;
        }
        if (cells[0].starts_with("---"))
            continue;
        std::vector<std::string> names;
        for (std::string_view rest = cells[0];;) {
            const std::size_t open = rest.find('`');
            const std::size_t close =
                open == std::string_view::npos ? open : rest.find('`', open + 1);
            if (close == std::string_view::npos)
                break;
            names.emplace_back(rest.substr(open + 1, close - open - 1));
            rest.remove_prefix(close + 1);
        }
        const std::vector<std::string_view> defaults =
            Split(cells.size() > 1 ? cells[1] : std::string_view(), ", ");
        if (names.empty() || (defaults.size() != 1 && defaults.size() != names.size())) {
            check.mismatches.push_back("a row the check cannot read: " + std::string(line));
            continue;
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            ++check.keys;
            const SettingKey* key = FindSettingKey(names[i]);
            if (key == nullptr) {
                check.mismatches.push_back(names[i] + ": not a key of the settings table");
                continue;
            }
            const std::string shown = WithoutBackticks(defaults[defaults.size() == 1 ? 0 : i]);
            if (shown != ReadmeDefault(*key))
                check.mismatches.push_back(names[i] + ": the README says \"" + shown +
                                           "\", the table \"" + ReadmeDefault(*key) + "\"");
        }
    }
    return check;
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

TEST(SettingKeys, TheReadmeNamesOnlyKeysOfTheTableWithTheirDefaults) {
    const std::string readme = ReadWhole(TVN_README);
    ASSERT_FALSE(readme.empty());
    const ReadmeCheck check = CheckReadme(readme);
    EXPECT_GE(check.tables, 2);
    EXPECT_GE(check.keys, 10);
    for (const std::string& mismatch : check.mismatches)
        ADD_FAILURE() << mismatch;
}

// Copies of the README, each edited once: the check names the key the edit broke.
TEST(SettingKeys, AnEditedReadmeCopyIsCaught) {
    const std::string readme = ReadWhole(TVN_README);
    struct Case {
        const char* what;
        std::string from;
        std::string to;
        std::string named; // in the one mismatch reported
    };
    const Case cases[] = {
        {"another number", "| `Port` | 8080 |", "| `Port` | 8081 |", "Port"},
        {"a key the table lacks", "| `Port` | 8080 |", "| `Ports` | 8080 |", "Ports"},
        {"the second of two defaults", "`tvn.log` beside the program, 1 |",
         "`tvn.log` beside the program, 2 |", "LogFileSize"},
        {"a described default", "| `Tarvolin/htdocs` |", "| `htdocs` |", "Root"},
        {"a text default", "| 50.0 |", "| 50 |", "GpsMaxDOP"},
        {"a new row", "| `Port` | 8080 | TCP port |\n",
         "| `Port` | 8080 | TCP port |\n| `PortRange` | 10 | ports to try |\n", "PortRange"},
        {"three keys, two defaults", "| the GGA layout |", "| the GGA layout, x |", "NMEA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ReadmeCheck check = CheckReadme(Replaced(readme, c.from, c.to));
        ASSERT_EQ(check.mismatches.size(), 1u);
        EXPECT_NE(check.mismatches[0].find(c.named), std::string::npos) << check.mismatches[0];
    }
}

TEST(SettingKeys, TheTableIsWellFormed) {
    const std::set<std::string_view> owners = {"shell", "http",   "pages",   "relay",
                                               "gps",   "config", "presence"};
    std::set<std::string_view> names;
    for (const SettingKey* key : kSettingTable) {
        SCOPED_TRACE(key->name);
        EXPECT_TRUE(names.insert(key->name).second) << "named twice";
        EXPECT_EQ(FindSettingKey(key->name), key);
        EXPECT_TRUE(owners.contains(key->owner));
        if (key->computed) {
            EXPECT_NE(key->described, nullptr) << "a computed default says what it is";
        }
        if (key->type == SettingType::kText)
            EXPECT_EQ(key->number, 0);
        else
            EXPECT_STREQ(key->text, "");
    }
}

// A new settings file gets the defaults that files have always held: read in table order,
// every key whose default is not worked out at run time writes these lines.
TEST(SettingKeys, DefaultsAreWrittenAsTheyAlwaysWere) {
    test::TempDir temp;
    ASSERT_TRUE(temp.Valid());
    const std::string file = temp / "TVN.cfg";
    SettingsSection::OverrideFilePath(file);
    const SettingsSection settings;
    for (const SettingKey* key : kSettingTable) {
        if (key->computed)
            continue;
        if (key->type == SettingType::kText)
            settings.Text(*key);
        else if (key->type == SettingType::kFlag)
            settings.Flag(*key);
        else
            settings.Number(*key);
    }
    SettingsSection::OverrideFilePath("");
    EXPECT_EQ(
        ReadWhole(file),
        "[SOFTWARE\\Tarvolin\\1.0]\n"
        "Port=8080\nEnable=1\nHideLog=0\nName=\nUser=\nPass=\nDomain=dyndns.org\n"
        "uPnPDiscovery=1\nuPnPRouter=1\nCreateDemo=0\nLogFileSize=1\n"
        "BlogSound=/usr/share/sounds/freedesktop/stereo/message-new-instant.oga\n"
        "GoogleApiKey=\nServiceHost=\nServicePort=1212\nServicePeriod=20000\nServiceAckWait=5000\n"
        "GpsZadiZoURL=http://zadizo.invalid/zadizo/update.php?server=%s&time=%d&lon=%f"
        "&lat=%f&port=%d\n"
        "NMEAPortTemplate=/dev/ttyUSB%d\nGpsLogFileSize=1\nGpsLogTimePrec=1500\n"
        "GpsLogDistPrec=0.001\nGpsValidityMin=1\nGpsValidityMax=3\nGpsMaxDOP=50.0\n"
        "GpsMaxFixes=20\nGpsPrevTime=0\nGpsPrevLon=0\nGpsPrevLat=0\n"
        "NMEA Pattern3=\\$GPGGA,{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},{[^,]*?},"
        "[^,]*?,{[^,]*?},[^\\*]+?\\*{\\h\\h}\n"
        "NMEAData2={\\-?\\d?\\d\\d}{\\d\\d\\.\\d+}\nNMEATime={\\d\\d}{\\d\\d}{\\d\\d}.*\n"
        "DNS_UpdateURL=https://members.dyndns.org\nDNS_status=0\nDNS_answer=*\n"
        "DNS_account=*\nDNS_IP=*\nDNS_domain=*\nDNS_name=*\nDNS_result=*\n"
        "DNS_comment=*\nNoAskFirewall=0\nHttpsPort=8443\nTlsCertificate=\nTlsKey=\n"
        "AcmeDirectory=https://acme-v02.api.letsencrypt.org/directory\nAcmeTrust=\n");
}

} // namespace
} // namespace tvn
