// The dynamic DNS client against an update service on loopback: when it asks, what it sends,
// what it keeps in the settings across a restart, and what it shows of the answer.
#include "dyn_dns_fixture.h"

#include <QByteArray>
#include <cstdio>
#include <memory>

namespace tvn {
namespace {

using test::Answer;
using test::Home;

class DynDns : public test::DynDnsTest {};

TEST_F(DynDns, RegistersOnceAndARestartWithUnchangedDataSendsNothing) {
    {
        CDynDns client(dir.Path());
        const DynDnsResult first = Run(client, Home());
        EXPECT_EQ(first.registered, 1);
        EXPECT_EQ(first.address, "home.example");
        ASSERT_EQ(server.Count(), 1u);
        const std::string head = server.Heads()[0];
        EXPECT_TRUE(head.starts_with("GET /nic/update?hostname=home.example&myip=10.1.2.3 "));
        EXPECT_NE(head.find("User-Agent: Quorvane/TVN Tarvolin/1.5\r\n"), std::string::npos);
        const std::string credentials = QByteArray("alice:secret").toBase64().toStdString();
        EXPECT_NE(head.find("Authorization: Basic " + credentials + "\r\n"), std::string::npos);
        EXPECT_EQ(Run(client, Home()).registered, 1);
        EXPECT_EQ(server.Count(), 1u);
    }
    EXPECT_EQ(Get("DNS_status"), "1");
    EXPECT_EQ(Get("DNS_result"), "home.example");
    CDynDns restarted(dir.Path());
    const DynDnsResult again = Run(restarted, Home());
    EXPECT_EQ(again.registered, 1);
    EXPECT_EQ(again.address, "home.example");
    EXPECT_EQ(server.Count(), 1u);
    // A new address is registered at once.
    EXPECT_EQ(Run(restarted, Home("secret", "10.1.2.4")).registered, 1);
    EXPECT_EQ(server.Count(), 2u);
}

TEST_F(DynDns, RefusedLoginIsNotRepeatedUntilTheAccountChangesEvenAcrossARestart) {
    server.Queue({200, "badauth", 0});
    {
        CDynDns client(dir.Path());
        EXPECT_EQ(Run(client, Home("wrong")).registered, 0);
        EXPECT_EQ(Run(client, Home("wrong")).registered, 0);
        EXPECT_EQ(server.Count(), 1u);
    }
    // The refusal was kept: the same wrong password is not sent again after a restart.
    CDynDns client(dir.Path());
    const DynDnsResult refused = Run(client, Home("wrong"));
    EXPECT_EQ(refused.status,
              " DynDns for 'home.example' says: Invalid User/Password 'badauth' (HTTP 200)");
    EXPECT_EQ(server.Count(), 1u);
    // The corrected password goes out exactly once.
    EXPECT_EQ(Run(client, Home("right")).registered, 1);
    EXPECT_EQ(Run(client, Home("right")).registered, 1);
    EXPECT_EQ(server.Count(), 2u);
}

// Any later answer for the refused account (at a new address, say) cleared the refusal, so
// the corrected account was never sent while name, domain and address stayed the same.
TEST_F(DynDns, RefusedLoginEndsOnlyWithOtherAccountData) {
    struct Case {
        const char* later; // the answer for the refused account at a new address
        bool restart;      // the program restarts before the account is corrected
    };
    const Case cases[] = {{"nohost", false}, {"abuse", false}, {"good", false},
                          {"nohost", true},  {"911", true},    {"good", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.later) + (c.restart ? " restart" : ""));
        std::remove((dir / "TVN.cfg").c_str());
        Set("DNS_UpdateURL", server.Url());
        const std::size_t before = server.Count();
        server.Queue({200, "badauth", 0});
        server.Queue({200, c.later, 0});
        auto client = std::make_unique<CDynDns>(dir.Path());
        EXPECT_EQ(Run(*client, Home("wrong")).registered, 0);
        Run(*client, Home("wrong", "10.1.2.4"));
        EXPECT_EQ(server.Count(), before + 2);
        if (c.restart) {
            client.reset();
            client = std::make_unique<CDynDns>(dir.Path());
        }
        // The corrected account goes out once, and its answer ends the refusal.
        EXPECT_EQ(Run(*client, Home("right", "10.1.2.4")).registered, 1);
        EXPECT_EQ(Run(*client, Home("other", "10.1.2.4")).registered, 1);
        EXPECT_EQ(server.Count(), before + 3);
    }
}

TEST_F(DynDns, FailureAnswerIsShownAndKeptWithoutRepeatingTheRequest) {
    server.Queue({200, "nohost", 0});
    const std::string expected =
        " DynDns for 'home.example' says: Invalid server/domain name 'nohost' (HTTP 200)";
    {
        CDynDns client(dir.Path());
        const DynDnsResult result = Run(client, Home());
        EXPECT_EQ(result.registered, 0);
        EXPECT_EQ(result.status, expected);
        EXPECT_EQ(result.address, "10.1.2.3");
    }
    EXPECT_EQ(" " + Get("DNS_comment"), expected); // the file trims values
    EXPECT_EQ(Get("DNS_status"), "0");
    CDynDns restarted(dir.Path());
    EXPECT_EQ(Run(restarted, Home()).status, expected);
    // Another account does not lift a failure that is not a refused login.
    EXPECT_EQ(Run(restarted, Home("other")).status, expected);
    EXPECT_EQ(server.Count(), 1u);
}

TEST_F(DynDns, MissingAccountDataSendsNothing) {
    CDynDns client(dir.Path());
    for (DynDnsAccount account : {DynDnsAccount{"", "secret", "home", "example", "10.1.2.3"},
                                  DynDnsAccount{"alice", "", "home", "example", "10.1.2.3"},
                                  DynDnsAccount{"alice", "secret", "", "example", "10.1.2.3"}}) {
        const DynDnsResult result = Run(client, account);
        EXPECT_EQ(result.registered, 0);
        EXPECT_EQ(result.address, "10.1.2.3");
        EXPECT_EQ(result.status, "");
    }
    EXPECT_EQ(server.Count(), 0u);
}

// The service's answer was stored as received: a line end in it made the settings refuse
// the comment, so the request was repeated.
TEST_F(DynDns, HostileAnswersAreKeptAsOnePrintableLine) {
    struct Case {
        std::string body;
        std::string word;
        std::string line;
    };
    const Case cases[] = {
        {"<html>\r\n<body>badauth</body>\r\n</html>", "", "<html>"},
        {std::string("nohost\0\x01\x1b[2J\x7f\xff", 14), "Invalid server/domain name",
         "nohost???[2J??"},
        {std::string(10240, 'A'), "", std::string(1022, 'A')},
    };
    CDynDns client(dir.Path());
    int address = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 20));
        server.Queue({500, c.body, 0});
        const DynDnsResult result =
            Run(client, Home("secret", "10.0.0." + std::to_string(address++)));
        const std::string expected =
            " DynDns for 'home.example' says: " + c.word + " '" + c.line + "' (HTTP 500)";
        EXPECT_EQ(result.status, expected);
        EXPECT_EQ(" " + Get("DNS_comment"), expected); // the file trims values
        EXPECT_EQ(Get("DNS_answer"), c.line);
    }
    EXPECT_EQ(server.Count(), 3u);
}

// The address went into the query as given, so "&" or "=" in it added parameters.
TEST_F(DynDns, AnAddressThatIsNoDottedIPv4IsNotSent) {
    CDynDns client(dir.Path());
    for (const char* address : {"10.1.2.3&myip=6.6.6.6", "", "::1", "1.2.3", "10.1.2.300"}) {
        SCOPED_TRACE(address);
        const DynDnsResult result = Run(client, Home("secret", address));
        EXPECT_EQ(result.registered, 0);
        EXPECT_EQ(result.status, "Network unavailable");
    }
    EXPECT_EQ(server.Count(), 0u);
}

TEST_F(DynDns, PasswordIsNotSentOverPlainHttpToAnotherComputer) {
    Set("DNS_UpdateURL", "http://members.dyndns.invalid");
    CDynDns client(dir.Path());
    EXPECT_EQ(Run(client, Home()).status, "DynDns No connection");
}

TEST_F(DynDns, ConnectionErrorKeepsNothingSoTheNextRefreshTriesAgain) {
    Set("DNS_UpdateURL", "http://127.0.0.1:1");
    CDynDns client(dir.Path());
    EXPECT_EQ(Run(client, Home()).status, "DynDns Connection error 7"); // refused connection
    EXPECT_EQ(Get("DNS_IP"), "*");
    Set("DNS_UpdateURL", server.Url());
    EXPECT_EQ(Run(client, Home()).registered, 1);
    EXPECT_EQ(server.Count(), 1u);
}

TEST_F(DynDns, OneUpdateAtATime) {
    server.Queue({200, "good", 300});
    CDynDns client(dir.Path());
    int calls = 0;
    ASSERT_TRUE(client.Update(Home(), [&](const DynDnsResult&) { ++calls; }));
    EXPECT_FALSE(client.Update(Home("other"), [&](const DynDnsResult&) { ++calls; }));
    while (client.Busy())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(server.Count(), 1u);
}

} // namespace
} // namespace tvn
