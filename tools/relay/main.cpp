// tarvolin-relay: the relay service that carries browsers' requests to Tarvolin servers
// which cannot be reached from the internet themselves. See README.md, "Running your own
// relay".
#include "tools/relay/relay_options.h"
#include "tools/relay/relay_service.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

// The allow-list of `path`; nothing with `error` set when it cannot be read or parsed.
std::optional<tvn::relay::AllowList> ReadAllowList(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    auto result = tvn::relay::ParseAllowList(text);
    if (!result.error.empty()) {
        error = path + ": " + result.error;
        return std::nullopt;
    }
    return std::move(result.list);
}

int Fail(const std::string& message, int code) {
    std::fprintf(stderr, "tarvolin-relay: %s\n", message.c_str());
    return code;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto parsed = tvn::relay::ParseArguments(arguments);
    if (!parsed.error.empty())
        return Fail(parsed.error + " (see --help)", 2);
    if (parsed.options.help) {
        std::fputs(tvn::relay::UsageText().c_str(), stdout);
        return 0;
    }
    std::optional<tvn::relay::AllowList> allowed;
    if (!parsed.options.configFile.empty()) {
        std::string error;
        allowed = ReadAllowList(parsed.options.configFile, error);
        if (!allowed)
            return Fail(error, 2);
    }
    std::signal(SIGPIPE, SIG_IGN); // a browser that left shows as a failed write, not a signal

    QCoreApplication app(argc, argv);
    tvn::relay::CRelayService service(parsed.options, std::move(allowed));
    std::string error;
    if (!service.Listen(error))
        return Fail(error, 1);
    std::fprintf(stderr, "tarvolin-relay: browsers on %s:%u (TCP), servers on %s:%u (UDP)\n",
                 parsed.options.bind.c_str(), parsed.options.httpPort, parsed.options.bind.c_str(),
                 parsed.options.udpPort);
    return app.exec();
}
