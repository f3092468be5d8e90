#pragma once

// tarvolin-relay: Tarvolin servers that cannot be reached from the internet register their
// host name here over UDP; browsers connect here over TCP, and each request is carried to
// the registered server as datagrams, and the response back. One thread, one event loop.
#include "platform/unique_fd.h"
#include "tools/relay/browser_admission.h"
#include "tools/relay/browser_connection.h"
#include "tools/relay/location_book.h"
#include "tools/relay/name_registry.h"
#include "tools/relay/relay_options.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace tvn::relay {

class CRelayService : public QObject {
    Q_OBJECT

  public:
    static constexpr int kMaxPerName = 64; // browsers of one name at once
    // In all. When every place is taken, the browser that has waited longest for its request
    // head gives its place to a new one; when every head is whole, accepting pauses.
    static constexpr std::size_t kMaxBrowsers = 768;

    CRelayService(RelayOptions options, std::optional<AllowList> allowed);
    ~CRelayService() override;

    // Opens the UDP socket, then the TCP listener; false with `error` when either fails.
    bool Listen(std::string& error);

    // Where a complete request goes: status 0 to the server `server` (for `name`), otherwise
    // the relay answers it itself with `status`: the whole `answer` when there is one, else a
    // page around `explanation`.
    struct Route {
        int status = 0;
        std::string explanation;
        std::string answer;
        Endpoint server;
        std::string name;
    };
    Route RouteRequest(const BrowserRequest& request);
    // Queues a routed connection to open its request once the server's previous one is
    // acknowledged; BeginOpen follows, at once when no other is in the way.
    void Enqueue(CBrowserConnection& connection);
    void SendToServer(Endpoint server, std::string_view datagram);
    // The browser's request head is whole (or refused): its place is no longer one a new
    // browser may take.
    void HeadDone(const CBrowserConnection& connection);

    // How a request message is sent until the server acknowledges it.
    RetryPolicy RequestRetries() const { return {kRequestRetries.attempts, options.resendWait}; }

    // The steady clock the connections and the registry run on.
    static Millis Now();

  private:
    // The browsers waiting to open a request at one server. Only the first one's request is
    // on its way: an acknowledgement says which id the server assigned, not to which request.
    struct ServerState {
        std::deque<CBrowserConnection*> opening;
        // Acknowledgements that may still arrive for requests sent with id -1 more than once
        // (each copy that reaches the server gets an id of its own).
        int unsettled = 0;
    };
    using ConnectionKey = std::pair<Endpoint, std::int32_t>;

    void OnUdpReadable();
    void OnAcceptable();
    void OnTick();
    void OnFinished(CBrowserConnection* connection);
    // Takes in the browser of `fd`, unless its address holds its share of places already.
    void Admit(UniqueFd fd, Endpoint from, Millis now);
    void ExpireHeads(Millis now);
    void Dispatch(Endpoint from, std::string_view bytes, Millis now);
    void HandleRegistration(Endpoint from, std::string_view payload, Millis now);
    void HandleOpenAck(Endpoint from, const DatagramHeader& header, std::size_t size, Millis now);
    // Takes a first answer message for a lost acknowledgement; true when it did.
    bool AdoptImpliedAck(Endpoint from, const DatagramHeader& header, Millis now);
    void RefuseStray(Endpoint from, const DatagramHeader& header, Millis now);
    void StartNextOpen(Endpoint server, Millis now);
    void UpdateAccepting();
    void Log(const CBrowserConnection& connection);
    Route OwnAnswer(const BrowserRequest& request);

    RelayOptions options;
    CNameRegistry registry;
    CLocationBook locations;
    UniqueFd udpFd; // the descriptors before their notifiers: the notifiers go first
    UniqueFd tcpFd;
    std::unique_ptr<QSocketNotifier> udpNotifier;
    std::unique_ptr<QSocketNotifier> tcpNotifier;
    QTimer ticker;
    CBrowserAdmission admission{kMaxBrowsers};
    // By serial number, which is also their order of arrival.
    std::map<std::uint64_t, std::unique_ptr<CBrowserConnection>> connections;
    std::uint64_t nextSerial = 1;
    std::map<ConnectionKey, CBrowserConnection*> byId;
    std::map<Endpoint, ServerState> servers;
    std::map<std::string, int, std::less<>> perName;
    std::int32_t nextOwnId;
};

} // namespace tvn::relay
