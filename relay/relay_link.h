#pragma once

// The relay link: the only relay header other folders include.
#include "config/setting_keys.h"
#include "http/relay_seam.h"
#include "relay/datagram.h"
#include "relay/notify.h"
#include "relay/stop_and_wait.h"

#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tvn {

class CHttpSvrDoc;
class CUDPReq;

// The UDP link to the relay service. Registrations leave from its socket (CNotify); request
// messages arriving on it become relayed connections (CUDPReq) that run the same request
// processing as TCP connections and send their answers back as acknowledged messages.
//
// Nothing here blocks: each connection's stop-and-wait send runs on timers and readable
// notifications, and datagrams are dispatched by connection id, so a silent relay holds up
// neither direct visitors nor other relayed connections. Datagrams are taken only from the
// address the service host resolves to (resolved at each registration) and the service port.
class CTcpOverUdp : public CNotify, public IRelayLink {
  public:
    using Clock = std::chrono::steady_clock;
    // A request repeated (its acknowledgement was lost) within this time after its
    // connection closed is acknowledged again, never run again. Only a digest of each is
    // kept, of the newest kRepeatsKept.
    static constexpr std::chrono::seconds kRepeatMemory{30};
    static constexpr std::size_t kRepeatsKept = 4096;
    // Request messages being put together at once, and the memory they may hold together;
    // past either the oldest goes (the service sends it again).
    static constexpr std::size_t kMaxAssemblies = 32;
    static constexpr std::size_t kMaxAssemblyBytes = 256 * 1024;
    // A datagram the socket refuses this often fails its message.
    static constexpr int kMaxRefusals = 100;

    // `registrationSecret`: sent behind the name in every registration; `retries`: how each
    // response message is sent until the service acknowledges it.
    CTcpOverUdp(CHttpSvrDoc& doc, const std::string& host, int port, int registerEveryMs,
                std::string registrationSecret = {},
                relay::RetryPolicy retries = relay::kResponseRetries);
    ~CTcpOverUdp() override;

    // Opens the UDP socket (any local port); false when it cannot be made.
    bool Open();
    // The local UDP port, 0 when closed.
    int LocalPort() const;
    // Relayed connections alive (not yet closed).
    std::size_t LiveCount() const { return live.size(); }
    // Request messages being put together, and the memory their buffers hold.
    std::size_t AssemblyCount() const { return assemblies.size(); }
    std::size_t AssemblyBytes() const;
    // Bytes held to know repeated requests, of the live connections and the closed ones.
    std::size_t RepeatMemoryBytes() const;

    void SetRelayName(const std::string& name) override;
    const std::string& ServiceHost() const override { return serviceHost; }

    // --- For the relayed connections ---
    const relay::RetryPolicy& Retries() const { return retries; }
    // Sends `datagram` to `to`; a datagram the socket refuses waits for writability.
    void Transmit(std::string datagram, const sockaddr_in& to);
    // A connection that ended: it is deleted once control is back in the event loop, and the
    // digest of its opening message is remembered for kRepeatMemory.
    void Retire(CUDPReq& connection);
    // What recognises a repeated opening message: its digest under this link's key.
    relay::MessageDigest DigestOf(std::string_view message) const;

  protected:
    int SocketFd() const override { return fd; }

  private:
    struct Outgoing {
        std::string datagram;
        sockaddr_in to{};
        int refusals = 0;
    };
    struct Remembered {
        relay::MessageDigest digest;
        std::int32_t id = 0;
        Clock::time_point closedAt;
    };
    struct Assembly {
        relay::CMessageAssembler assembler;
        Clock::time_point begun;
        std::uint64_t order = 0; // of its beginning: the smallest is the oldest
    };

    void OnReadable();
    void OnWritable();
    void HandleDatagram(std::string_view bytes, const sockaddr_in& from);
    void HandleRequestFragment(const relay::DatagramHeader& header, std::string_view payload,
                               const sockaddr_in& from);
    void StartConnection(const relay::DatagramHeader& header, std::string message,
                         const relay::MessageDigest& digest, const sockaddr_in& from);
    CUDPReq* FindLive(std::int32_t id) const;
    // Drops the oldest assemblies but `keep` while there are too many or they hold too much.
    void BoundAssemblies(std::int32_t keep);
    // The id of the connection a repeated request opened, when `digest` is of one.
    std::optional<std::int32_t> RepeatOf(const relay::MessageDigest& digest) const;
    void Sweep();
    void DeleteRetired();

    CHttpSvrDoc& doc;
    const std::string serviceHost;
    int registrationPeriodMs = setting::kServicePeriod.number;
    const relay::RetryPolicy retries;
    int fd = -1;
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;
    std::deque<Outgoing> outgoing;
    std::map<std::int32_t, Assembly> assemblies; // request messages arriving, by id
    std::uint64_t assembliesBegun = 0;
    std::vector<std::unique_ptr<CUDPReq>> live;
    std::vector<std::unique_ptr<CUDPReq>> retired;
    std::deque<Remembered> remembered; // oldest first
    relay::DigestKey digestKey{};
    QTimer sweepTimer;
    QTimer retireTimer;
};

// The relay link for the server document, made from ServiceHost, ServicePort, ServicePeriod
// and ServiceSecret (a missing secret is made and kept); nothing when ServiceHost is empty or
// the socket cannot be made. Its response messages wait ServiceAckWait ms for each
// acknowledgement.
std::unique_ptr<IRelayLink> MakeRelayLink(CHttpSvrDoc& doc);

} // namespace tvn
