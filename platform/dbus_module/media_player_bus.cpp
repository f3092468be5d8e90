// The media player through MPRIS, on a session-bus connection of each command's own, in the
// D-Bus module.
#include "platform/dbus_module/dbus_clients.h"
#include "platform/key_injector.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QStringList>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>

namespace tvn {
namespace {

constexpr qlonglong kSeekStepMicroseconds = 10'000'000;
constexpr double kVolumeStep = 0.1;
// A raised player's window takes the focus a moment after Raise() answered.
constexpr std::chrono::milliseconds kRaiseFocusWait(500);

const QString kBusService = QStringLiteral("org.freedesktop.DBus");
const QString kBusPath = QStringLiteral("/org/freedesktop/DBus");
const QString kPlayerPrefix = QStringLiteral("org.mpris.MediaPlayer2.");
const QString kPlayerPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kRootInterface = QStringLiteral("org.mpris.MediaPlayer2");
const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

// One command at a time: a volume step reads and writes back, and mute remembers.
std::mutex commandLock;
QString mutedPlayer;         // guarded by commandLock: the player muted last
double volumeBeforeMute = 0; // guarded by commandLock: its volume before

// A session-bus connection for one command. The process's shared one (sessionBus()) keeps
// the bus of its first use and belongs to the thread that made it; so does libdbus's own
// idea of "the session bus", which reads DBUS_SESSION_BUS_ADDRESS once per process. A
// connection of our own to the address of now finds the bus that is there now.
QDBusConnection ConnectToSessionBus(const QString& name) {
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (address.isEmpty()) // libdbus knows where else to look
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
    return QDBusConnection::connectToBus(address, name);
}

class CBusLink {
  public:
    CBusLink()
        : name(QStringLiteral("tvn-player-%1").arg(++serial)), bus(ConnectToSessionBus(name)) {}
    ~CBusLink() { QDBusConnection::disconnectFromBus(name); }
    CBusLink(const CBusLink&) = delete;
    CBusLink& operator=(const CBusLink&) = delete;

    bool Connected() const { return bus.isConnected(); }

    // The arguments of the answer to `call`; nothing on an error or no answer in time.
    std::optional<QList<QVariant>> Call(const QDBusMessage& call) {
        const QDBusMessage reply = bus.call(call, QDBus::Block, kPlayerCallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage)
            return std::nullopt;
        return reply.arguments();
    }

  private:
    static inline std::atomic<unsigned> serial{0};
    QString name;
    QDBusConnection bus;
};

struct CPlayer {
    QString busName;
    long pid = 0;
};

// The player's bus name among `names`: one naming kodi first, else the first in order.
QString ChoosePlayer(QStringList names) {
    names.sort();
    QString first;
    for (const QString& name : names) {
        if (!name.startsWith(kPlayerPrefix))
            continue;
        if (name.mid(kPlayerPrefix.size()).contains(QLatin1String("kodi"), Qt::CaseInsensitive))
            return name;
        if (first.isEmpty())
            first = name;
    }
    return first;
}

std::optional<CPlayer> FindPlayer(CBusLink& link) {
    if (!link.Connected())
        return std::nullopt;
    const auto names = link.Call(QDBusMessage::createMethodCall(kBusService, kBusPath, kBusService,
                                                                QStringLiteral("ListNames")));
    if (!names || names->isEmpty())
        return std::nullopt;
    CPlayer player;
    player.busName = ChoosePlayer(names->first().toStringList());
    if (player.busName.isEmpty())
        return std::nullopt;
    QDBusMessage pidCall = QDBusMessage::createMethodCall(
        kBusService, kBusPath, kBusService, QStringLiteral("GetConnectionUnixProcessID"));
    pidCall << player.busName;
    if (const auto pid = link.Call(pidCall); pid && !pid->isEmpty())
        player.pid = static_cast<long>(pid->first().toUInt());
    return player;
}

bool CallMethod(CBusLink& link, const CPlayer& player, const QString& interface,
                const QString& method, const QList<QVariant>& arguments = {}) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(player.busName, kPlayerPath, interface, method);
    call.setArguments(arguments);
    return link.Call(call).has_value();
}

std::optional<QVariant> ReadProperty(CBusLink& link, const CPlayer& player,
                                     const QString& interface, const QString& property) {
    QDBusMessage call = QDBusMessage::createMethodCall(player.busName, kPlayerPath, kProperties,
                                                       QStringLiteral("Get"));
    call << interface << property;
    const auto answer = link.Call(call);
    if (!answer || answer->isEmpty())
        return std::nullopt;
    return answer->first().value<QDBusVariant>().variant();
}

bool WriteVolume(CBusLink& link, const CPlayer& player, double volume) {
    QDBusMessage call = QDBusMessage::createMethodCall(player.busName, kPlayerPath, kProperties,
                                                       QStringLiteral("Set"));
    call << kPlayerInterface << QStringLiteral("Volume")
         << QVariant::fromValue(QDBusVariant(QVariant(volume)));
    return link.Call(call).has_value();
}

// The volume after `call` from `volume`; steps land on hundredths, so that ten steps up
// from 0 make 1 and not 0.9999999999999999.
double NextVolume(PlayerCall call, const QString& busName, double volume) {
    double next = volume;
    switch (call) {
    case PlayerCall::kVolumeUp:
        next = std::min(volume + kVolumeStep, std::max(1.0, volume));
        break;
    case PlayerCall::kVolumeDown:
        next = std::max(volume - kVolumeStep, 0.0);
        break;
    case PlayerCall::kToggleMute:
        if (volume > 0) {
            mutedPlayer = busName;
            volumeBeforeMute = volume;
            return 0;
        }
        // Back to the volume before, or to full for a player that was silent already.
        next = mutedPlayer == busName && volumeBeforeMute > 0 ? volumeBeforeMute : 1.0;
        mutedPlayer.clear();
        return next;
    default:
        break;
    }
    return std::round(next * 100) / 100;
}

bool ChangeVolume(CBusLink& link, const CPlayer& player, PlayerCall call) {
    const auto volume = ReadProperty(link, player, kPlayerInterface, QStringLiteral("Volume"));
    if (!volume)
        return false;
    return WriteVolume(link, player, NextVolume(call, player.busName, volume->toDouble()));
}

bool RunCall(CBusLink& link, const CPlayer& player, PlayerCall call) {
    const auto method = [&](const char* name, const QList<QVariant>& arguments = {}) {
        return CallMethod(link, player, kPlayerInterface, QString::fromLatin1(name), arguments);
    };
    switch (call) {
    case PlayerCall::kNothing:
        return true;
    case PlayerCall::kPlay:
        return method("Play");
    case PlayerCall::kPause:
        return method("Pause");
    case PlayerCall::kStop:
        return method("Stop");
    case PlayerCall::kNext:
        return method("Next");
    case PlayerCall::kPrevious:
        return method("Previous");
    case PlayerCall::kSeekBack:
        return method("Seek", {QVariant::fromValue(-kSeekStepMicroseconds)});
    case PlayerCall::kSeekForward:
        return method("Seek", {QVariant::fromValue(kSeekStepMicroseconds)});
    case PlayerCall::kVolumeUp:
    case PlayerCall::kVolumeDown:
    case PlayerCall::kToggleMute:
        return ChangeVolume(link, player, call);
    }
    return false;
}

} // namespace

namespace dbus {

bool CallMediaPlayer(PlayerCall call) {
    const std::lock_guard<std::mutex> lock(commandLock);
    CBusLink link;
    const auto player = FindPlayer(link);
    return player && RunCall(link, *player, call);
}

bool PressKeyInPlayer(std::string_view keySymName) {
    const std::lock_guard<std::mutex> lock(commandLock);
    CBusLink link;
    const auto player = FindPlayer(link);
    if (!player || player->pid <= 0)
        return false;
    const auto raise = [&] {
        const auto canRaise =
            ReadProperty(link, *player, kRootInterface, QStringLiteral("CanRaise"));
        return canRaise && canRaise->toBool() &&
               CallMethod(link, *player, kRootInterface, QStringLiteral("Raise"));
    };
    return InjectKeyInto(player->pid, keySymName, raise, kRaiseFocusWait) == KeyInjection::kSent;
}

} // namespace dbus
} // namespace tvn
