// The dynamic DNS plug-in found beside the program (the suite builds one of its own).
#include "dyn_dns_fixture.h"

namespace tvn {
namespace {

class DdnsPluginTest : public test::DynDnsTest {};

TEST_F(DdnsPluginTest, StartReplacesTheRequest) {
    CDynDns client(TVN_DDNS_PLUGIN_FOLDER);
    for (int i = 0; i < 2; ++i) {
        const DynDnsResult result = Run(client, test::Home());
        EXPECT_EQ(result.registered, 1);
        EXPECT_EQ(result.address, "home.plugin.example");
        EXPECT_EQ(result.status, " registered by the plug-in");
    }
    EXPECT_EQ(server.Count(), 0u);
    EXPECT_TRUE(client.Register());
}

TEST_F(DdnsPluginTest, PatchOptionsGetsTheListAndBoundedTexts) {
    CDynDns client(TVN_DDNS_PLUGIN_FOLDER);
    DdnsDomainList list{{"dyndns.org"}, 0};
    std::string domain = "dyndns.org", name = "home", user = "alice";
    client.PatchOptions(list, domain, name, user, true);
    EXPECT_EQ(list.entries, (std::vector<std::string>{"one.example", "two.example"}));
    EXPECT_EQ(list.selected, 1);
    EXPECT_EQ(domain, "two.example");
    // The plug-in filled all 400 bytes: the last one is taken as the end.
    EXPECT_EQ(name, std::string(TVN_DDNS_TEXT_SIZE - 1, 'x'));
    EXPECT_EQ(user, "alice");
}

TEST_F(DdnsPluginTest, WithoutPluginTheStoredDomainIsSelected) {
    Set("DNS_UpdateURL", ""); // the default service, whose domains are the list's
    CDynDns client(dir.Path());
    EXPECT_FALSE(client.Register());
    struct Case {
        std::string stored;
        int selected;
        std::string domain;
    };
    const Case cases[] = {{"b.example", 1, "b.example"},
                          {"B.example", 0, "a.example"}, // exact match only
                          {"", 0, "a.example"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        DdnsDomainList list{{"a.example", "b.example"}, -1};
        std::string domain = c.stored, name = "home", user = "alice";
        client.PatchOptions(list, domain, name, user, true);
        EXPECT_EQ(list.selected, c.selected);
        EXPECT_EQ(domain, c.domain);
    }
}

// A domain absent from the list gave way to the first entry also when DNS_UpdateURL pointed
// at another service, whose domains are its own: such a name could never be used.
TEST_F(DdnsPluginTest, AnotherServiceKeepsAnyDomain) {
    struct Case {
        const char* url;
        bool own; // another service than the default one
        std::string stored;
        int selected;
        std::string domain;
    };
    const Case cases[] = {
        {"http://127.0.0.1:8245", true, "own.example", -1, "own.example"},
        {"https://127.0.0.1/nic", true, "B.example", -1, "B.example"},
        {"http://localhost:1", true, "b.example", 1, "b.example"}, // the list's still selected
        {"", false, "own.example", 0, "a.example"},                // the default service
    };
    CDynDns client(dir.Path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        Set("DNS_UpdateURL", c.url);
        DdnsDomainList list{{"a.example", "b.example"}, -1};
        std::string domain = c.stored, name = "home", user = "alice";
        client.PatchOptions(list, domain, name, user, true);
        EXPECT_EQ(list.selected, c.selected);
        EXPECT_EQ(domain, c.domain);
        EXPECT_EQ(CDynDns::OwnService(), c.own);
    }
}

} // namespace
} // namespace tvn
