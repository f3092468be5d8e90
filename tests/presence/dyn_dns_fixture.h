#pragma once

// What the dynamic DNS tests share: settings in a fresh folder, an update service on
// 127.0.0.1 that answers what the test says and keeps every request head, and a way to wait
// for an update's result on the event loop.
#include "presence/dyn_dns.h"
#include "support/loopback_http_server.h"
#include "support/settings_folder.h"
#include "support/spin.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace tvn::test {

using Answer = HttpAnswer;

// The update service: "200 good 10.1.2.3" unless the test queues other answers.
class UpdateServer : public LoopbackHttpServer {
  public:
    UpdateServer() : LoopbackHttpServer({200, "good 10.1.2.3"}) {}
};

inline DynDnsAccount Home(std::string password = "secret", std::string address = "10.1.2.3") {
    return {"alice", std::move(password), "home", "example", std::move(address)};
}

// Settings in a folder of the test's own, the service at UpdateServer, no proxy between.
class DynDnsTest : public SettingsFolderTest {
  protected:
    void SetUp() override {
        SettingsFolderTest::SetUp();
        Set("DNS_UpdateURL", server.Url());
    }

    // Runs one update and waits on the event loop for its result.
    static DynDnsResult Run(CDynDns& client, const DynDnsAccount& account) {
        std::optional<DynDnsResult> result;
        EXPECT_TRUE(client.Update(account, [&](const DynDnsResult& r) { result = r; }));
        EXPECT_TRUE(SpinUntil([&] { return result.has_value(); }, 10000));
        return result.value_or(DynDnsResult{-1, "<no result>", "<no result>"});
    }

    UpdateServer server;
};

} // namespace tvn::test
