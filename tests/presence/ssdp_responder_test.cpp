// The SSDP responder's texts without any network: what counts as a search (hostile datagrams
// included), which targets answer it, the replies and notices, and its web server's answers.
// The responder on the wire is tested in the LAN lab (device_announcer_test.cpp).
#include "platform/ssdp_responder.h"
#include "platform/upnp_device.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tvn {
namespace {

const std::string kUuid = "5a3f0e1c-7d21-4c4e-9b8a-0f1e2d3c4b5a";

SsdpDevice Device() {
    return SsdpDevice{kUuid,
                      "Tarvolin",
                      "Tarvolen",
                      "<root>\n <device>\n </device>\n</root>\n",
                      {{"TVN.xml", "<scpd/>\n"}, {"TVN.html", "<p>page</p>\n"}},
                      3200};
}

std::string Search(const std::string& headers) {
    return "M-SEARCH * HTTP/1.1\r\n" + headers + "\r\n";
}

TEST(SsdpSearchParsing, WellFormedSearches) {
    struct Case {
        std::string datagram;
        std::string target;
        int maxWait;
    };
    const Case cases[] = {
        {Search("HOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 2\r\nST: "
                "ssdp:all\r\n"),
         "ssdp:all", 2},
        {Search("st:upnp:rootdevice\r\nman:  \"ssdp:discover\"\r\nmx:\t1\r\n"), "upnp:rootdevice",
         1},
        // A unicast search may leave MX out; other headers are passed over.
        {Search("MAN: \"ssdp:discover\"\r\nST: uuid:" + kUuid + "\r\nUSER-AGENT: x\r\n"),
         "uuid:" + kUuid, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.datagram);
        const auto search = ParseSsdpSearch(c.datagram);
        ASSERT_TRUE(search);
        EXPECT_EQ(search->target, c.target);
        EXPECT_EQ(search->maxWait, c.maxWait);
    }
}

TEST(SsdpSearchParsing, HostileOrMalformedDatagramsAreNoSearch) {
    const std::string good = "MAN: \"ssdp:discover\"\r\nST: ssdp:all\r\nMX: 1\r\n";
    const std::vector<std::string> cases = {
        "",
        "\r\n\r\n",
        Search(good).substr(0, 40),                                    // cut short
        "M-SEARCH * HTTP/1.1\r\n" + good,                              // no empty line
        "m-search * HTTP/1.1\r\n" + good + "\r\n",                     // method spelt otherwise
        "M-SEARCH / HTTP/1.1\r\n" + good + "\r\n",                     // not "*"
        "NOTIFY * HTTP/1.1\r\n" + good + "\r\n",                       // a notice, not a search
        "HTTP/1.1 200 OK\r\n" + good + "\r\n",                         // a reply
        Search("MAN: \"ssdp:discover\"\r\nMX: 1\r\n"),                 // no ST
        Search("MAN: \"ssdp:discover\"\r\nST:\r\nMX: 1\r\n"),          // empty ST
        Search("ST: ssdp:all\r\nMX: 1\r\n"),                           // no MAN
        Search("MAN: ssdp:discover\r\nST: ssdp:all\r\n"),              // MAN unquoted
        Search(good + "ST: upnp:rootdevice\r\n"),                      // ST twice
        Search("MAN: \"ssdp:discover\"\r\nST: ssdp:all\r\nMX: x\r\n"), // MX no number
        Search("MAN: \"ssdp:discover\"\r\nST: ssdp:all\r\nMX: -1\r\n"),
        Search("MAN: \"ssdp:discover\"\r\nST: ssdp:all\r\nMX: 99999999999999\r\n"),
        Search("MAN: \"ssdp:discover\"\r\nST: ssdp:all\r\nMX:\r\n"),
        Search("MAN: \"ssdp:discover\"\nST: ssdp:all\r\n"),                        // bare LF
        Search("MAN: \"ssdp:discover\"\r\nST: ssdp:all\rX: y\r\n"),                // bare CR
        Search("MAN: \"ssdp:discover\"\r\nST: " + std::string(300, 'a') + "\r\n"), // long ST
        Search(good + "X: " + std::string(3000, 'b') + "\r\n"),                    // oversized
        Search(good + "no colon here\r\n"),
        Search(good + ": no name\r\n"),
    };
    for (const std::string& datagram : cases) {
        SCOPED_TRACE(datagram.substr(0, 120));
        EXPECT_FALSE(ParseSsdpSearch(datagram));
    }
    // A NUL byte inside the target.
    std::string withNul = Search("MAN: \"ssdp:discover\"\r\nST: ssdp:all\r\n");
    withNul[withNul.find("ssdp:all") + 2] = '\0';
    EXPECT_FALSE(ParseSsdpSearch(withNul));
}

TEST(SsdpTargets, EachTargetAnswersForItselfAndAllForAll) {
    const SsdpDevice device = Device();
    const std::string udn = "uuid:" + kUuid;
    struct Case {
        std::string target;
        std::vector<std::string> usns;
    };
    const Case cases[] = {
        {"ssdp:all", {udn + "::upnp:rootdevice", udn, udn + "::Tarvolin", udn + "::Tarvolen"}},
        {"upnp:rootdevice", {udn + "::upnp:rootdevice"}},
        {udn, {udn}},
        {"uuid:5A3F0E1C-7D21-4C4E-9B8A-0F1E2D3C4B5A", {udn}},
        {"Tarvolin", {udn + "::Tarvolin"}},
        {"Tarvolen", {udn + "::Tarvolen"}},
        {"urn:schemas-upnp-org:device:InternetGatewayDevice:1", {}},
        {"uuid:00000000-0000-0000-0000-000000000000", {}},
        {"tarvolin", {}},
        {"ssdp:all ", {}},
        {"upnp:rootdevice\r\nLOCATION: http://evil/", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        std::vector<std::string> usns;
        for (const SsdpTarget& target : SsdpTargetsFor(device, c.target))
            usns.push_back(target.usn);
        EXPECT_EQ(usns, c.usns);
    }
}

TEST(SsdpMessages, ReplyAndNotices) {
    const SsdpDevice device = Device();
    const SsdpTarget root{"upnp:rootdevice", "uuid:" + kUuid + "::upnp:rootdevice"};
    const std::string location = "http://10.0.0.2:4000/description.xml";
    const std::string reply =
        SsdpSearchReply(device, root, location, "Wed, 09 Dec 2026 16:00:00 GMT");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=3200\r\n"
                          "DATE: Wed, 09 Dec 2026 16:00:00 GMT\r\nEXT:\r\nLOCATION: " +
                              location + "\r\nSERVER: Linux/",
                          0),
              0u)
        << reply;
    EXPECT_NE(reply.find(" UPnP/1.0 Tarvolin/1.0\r\nST: upnp:rootdevice\r\nUSN: uuid:" + kUuid +
                         "::upnp:rootdevice\r\n\r\n"),
              std::string::npos)
        << reply;

    const std::string alive = SsdpNotify(device, root, location, true);
    EXPECT_EQ(alive.rfind("NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                          "CACHE-CONTROL: max-age=3200\r\nLOCATION: " +
                              location + "\r\nNT: upnp:rootdevice\r\nNTS: ssdp:alive\r\n",
                          0),
              0u)
        << alive;
    EXPECT_EQ(SsdpNotify(device, root, location, false),
              "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
              "NTS: ssdp:byebye\r\nUSN: uuid:" +
                  kUuid + "::upnp:rootdevice\r\n\r\n");
}

TEST(SsdpMessages, DescriptionServedAsLibupnpServesIt) {
    EXPECT_EQ(SsdpServedDescription("<?xml version=\"1.0\"?>\n<root xmlns=\"x\">\n<specVersion>\n"
                                    " <major>1</major>\n\n</specVersion>\n <device>\n  "
                                    "<UDN>uuid:a</UDN>\n </device>\n</root>\n",
                                    "http://10.0.0.2:4000/"),
              "<?xml version=\"1.0\"?>\r\n<root xmlns=\"x\">\r\n<specVersion>\r\n"
              "<major>1</major>\r\n</specVersion>\r\n<device>\r\n<UDN>uuid:a</UDN>\r\n"
              "</device>\r\n<URLBase>http://10.0.0.2:4000/</URLBase>\r\n</root>\r\n");
}

// The status code and body of an answer.
std::pair<int, std::string> Split(const std::string& answer) {
    const int status = answer.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(answer.substr(9, 3)) : 0;
    const auto head = answer.find("\r\n\r\n");
    return {status, head == std::string::npos ? "" : answer.substr(head + 4)};
}

TEST(SsdpWebServer, ServesTheDescriptionAndTheFilesOnly) {
    const SsdpDevice device = Device();
    const std::string served = "<served/>";
    const std::string date = "Wed, 09 Dec 2026 16:00:00 GMT";
    struct Case {
        std::string request;
        int status;
        std::string body;
    };
    const std::string end = " HTTP/1.1\r\nHost: x\r\n\r\n";
    const Case cases[] = {
        {"GET /description.xml" + end, 200, served},
        {"GET /TVN.xml" + end, 200, "<scpd/>\n"},
        {"GET /TVN.html HTTP/1.0\r\n\r\n", 200, "<p>page</p>\n"},
        {"HEAD /TVN.html" + end, 200, ""},
        {"GET /tvn.html" + end, 404, "<html><body><h1>404 Not Found</h1></body></html>"},
        {"GET /TVN.cfg" + end, 404, "<html><body><h1>404 Not Found</h1></body></html>"},
        {"GET /../TVN.cfg" + end, 404, "<html><body><h1>404 Not Found</h1></body></html>"},
        {"GET /%2e%2e/TVN.cfg" + end, 404, "<html><body><h1>404 Not Found</h1></body></html>"},
        {"GET //TVN.xml" + end, 404, "<html><body><h1>404 Not Found</h1></body></html>"},
        {"GET /TVN.xml/../TVN.html" + end, 404, "<html><body><h1>404 Not Found</h1></body></html>"},
        {"GET /TVN.xml?x=1" + end, 404, "<html><body><h1>404 Not Found</h1></body></html>"},
        {"GET TVN.xml" + end, 404, "<html><body><h1>404 Not Found</h1></body></html>"},
        {"GET /" + end, 404, "<html><body><h1>404 Not Found</h1></body></html>"},
        {"POST /TVN.xml" + end, 405, "<html><body><h1>405 Method Not Allowed</h1></body></html>"},
        {"GET /TVN.xml" + std::string(" HTTP/1.1\r\n"), 400,
         "<html><body><h1>400 Bad Request</h1></body></html>"},
        {"GET /TVN.xml\r\n\r\n", 400, "<html><body><h1>400 Bad Request</h1></body></html>"},
        {"GET  /TVN.xml" + end, 400, "<html><body><h1>400 Bad Request</h1></body></html>"},
        {"GET /TVN.xml HTTP/1.1 x\r\n\r\n", 400,
         "<html><body><h1>400 Bad Request</h1></body></html>"},
        {"GET /TVN.xml FTP/1.0\r\n\r\n", 400, "<html><body><h1>400 Bad Request</h1></body></html>"},
        {"GET /TVN.xml HTTP/1.1\nHost: x\n\n", 400,
         "<html><body><h1>400 Bad Request</h1></body></html>"},
        {"GET /" + std::string(5000, 'a') + end, 400,
         "<html><body><h1>400 Bad Request</h1></body></html>"},
        {"", 400, "<html><body><h1>400 Bad Request</h1></body></html>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 80));
        const std::string answer = SsdpHttpAnswer(device, served, c.request, date);
        const auto [status, body] = Split(answer);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(body, c.body);
        EXPECT_NE(answer.find("CONNECTION: close\r\n"), std::string::npos);
    }
    const std::string page = SsdpHttpAnswer(device, served, "GET /TVN.html" + end, date);
    EXPECT_NE(page.find("CONTENT-LENGTH: 12\r\n"), std::string::npos) << page;
    EXPECT_NE(page.find("CONTENT-TYPE: text/html\r\n"), std::string::npos) << page;
    EXPECT_NE(page.find("LAST-MODIFIED: " + date + "\r\n"), std::string::npos) << page;
    const std::string description =
        SsdpHttpAnswer(device, served, "GET /description.xml" + end, date);
    EXPECT_NE(description.find("CONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"), std::string::npos);
    EXPECT_NE(SsdpHttpAnswer(device, served, "GET /TVN.xml" + end, date)
                  .find("CONTENT-TYPE: text/xml\r\n"),
              std::string::npos);
}

TEST(UpnpInterfaceReadiness, TentativeIPv6AddressesOfTheInterface) {
    const std::string table = "fe80000000000000a0df95fffe61c977 03 40 20 40    tvnd0\n"
                              "fe80000000000000b0df95fffe61c900 04 40 20 80    tvnd1\n"
                              "20010db8000000000000000000000001 04 40 00 c0    tvnd1\n"
                              "00000000000000000000000000000001 01 80 10 80       lo\n"
                              "garbage\n"
                              "fe80000000000000c0df95fffe61c901 05 40 20 zz    bad0\n";
    struct Case {
        const char* name;
        bool tentative;
    };
    const Case cases[] = {{"tvnd0", true}, {"tvnd1", true}, {"lo", false},
                          {"tvnd", false}, {"bad0", false}, {"", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(HasTentativeIPv6(table, c.name), c.tentative);
    }
    EXPECT_FALSE(HasTentativeIPv6("", "tvnd0"));
    EXPECT_FALSE(HasTentativeIPv6("fe80000000000000a0df95fffe61c977 03 40 20 80 tvnd0\n", "tvnd0"));
}

TEST(UpnpInterfaceReadiness, LoopbackAndUnknownInterfacesAreRefused) {
    EXPECT_FALSE(UpnpCanStartOn("lo"));
    EXPECT_FALSE(UpnpCanStartOn(""));
    EXPECT_FALSE(UpnpCanStartOn("tvn-no-such-if"));
    // The responder as well: no interface of this machine carries a documentation address.
    EXPECT_EQ(CSsdpResponder::Start("192.0.2.77", Device()), nullptr);
    EXPECT_EQ(CSsdpResponder::Start("127.0.0.1", Device()), nullptr);
    EXPECT_EQ(CSsdpResponder::Start("not an address", Device()), nullptr);
}

} // namespace
} // namespace tvn
