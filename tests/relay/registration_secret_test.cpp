// The secret the server's relay registrations carry: made once, kept in the settings, sent
// behind the registered name.
#include "config/settings_section.h"
#include "platform/ini_file.h"
#include "relay/datagram.h"
#include "relay/relay_link.h"
#include "support/server_fixture.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

namespace tvn::test {
namespace {

// A relay service that only listens: a UDP socket on loopback.
class RegistrationCatcher {
  public:
    RegistrationCatcher() : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local);
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &length);
        port = ntohs(local.sin_port);
    }
    // The next datagram within three seconds; nothing on time-out.
    std::optional<std::string> Receive() {
        pollfd poller{fd.Get(), POLLIN, 0};
        if (::poll(&poller, 1, 3000) <= 0)
            return std::nullopt;
        char buffer[2048];
        const ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
        return n < 0 ? std::nullopt : std::optional(std::string(buffer, std::size_t(n)));
    }

    UniqueFd fd;
    int port = 0;
};

class RegistrationSecret : public ServerFixture {
  protected:
    // (Re)starts the server with the relay service at `catcher`, registering "home.example";
    // the first registration that arrives.
    std::optional<std::string> StartAndCatch(RegistrationCatcher& catcher) {
        const std::string file = SettingsSection::FilePath();
        ini::WriteString(file, kSettingsSectionName, "ServiceHost", "127.0.0.1");
        ini::WriteString(file, kSettingsSectionName, "ServicePort", std::to_string(catcher.port));
        ini::WriteString(file, kSettingsSectionName, "ServicePeriod", "200");
        doc->relayFactory = MakeRelayLink;
        EXPECT_TRUE(doc->StartServing(port, root, false));
        doc->SetRelayName("home.example");
        std::optional<std::string> datagram;
        EXPECT_TRUE(RunWhileServing([&] { datagram = catcher.Receive(); }, 10s));
        doc->StopServing();
        return datagram;
    }
    std::string Stored() const {
        return ini::ReadString(SettingsSection::FilePath(), kSettingsSectionName, "ServiceSecret",
                               "");
    }
};

// Without a secret a neighbour behind the same NAT could take the server's name at the relay;
// the server makes one at its first relay start, keeps it, and sends it every time.
TEST_F(RegistrationSecret, IsMadeOnceKeptAndSentBehindTheName) {
    EXPECT_EQ(Stored(), "") << "made before any relay was named";
    RegistrationCatcher catcher;
    const auto first = StartAndCatch(catcher);
    const std::string secret = Stored();
    EXPECT_EQ(secret.size(), 32u);
    EXPECT_EQ(secret.find_first_not_of("0123456789abcdef"), std::string::npos) << secret;
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, relay::MakeRegistration("home.example") + secret);

    const auto again = StartAndCatch(catcher);
    EXPECT_EQ(Stored(), secret) << "a restart made another secret";
    EXPECT_EQ(again, first);
}

// A secret the user wrote that is none (too short here) leaves the registration as it was.
TEST_F(RegistrationSecret, StoredTextThatIsNoSecretIsNotSent) {
    ini::WriteString(SettingsSection::FilePath(), kSettingsSectionName, "ServiceSecret", "short");
    RegistrationCatcher catcher;
    EXPECT_EQ(StartAndCatch(catcher), relay::MakeRegistration("home.example"));
    EXPECT_EQ(Stored(), "short");
}

} // namespace
} // namespace tvn::test
