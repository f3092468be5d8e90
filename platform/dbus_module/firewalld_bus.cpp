// firewalld through Qt DBus, in the D-Bus module.
#include "platform/dbus_module/dbus_clients.h"
#include "platform/firewalld.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariant>
#include <atomic>

namespace tvn {
namespace {

const QString kService = QStringLiteral("org.fedoraproject.FirewallD1");
const QString kPath = QStringLiteral("/org/fedoraproject/FirewallD1");
const QString kMainInterface = QStringLiteral("org.fedoraproject.FirewallD1");
const QString kZoneInterface = QStringLiteral("org.fedoraproject.FirewallD1.zone");

std::atomic<int> connectionCount = 0;

QDBusConnection Bus(const std::string& connectionName) {
    if (connectionName.empty())
        return QDBusConnection::systemBus();
    return QDBusConnection(QString::fromStdString(connectionName));
}

// Calls `method` and waits for its answer at most the time-out; nullopt on no answer or an
// error answer. A bus without firewalld answers "no such name" at once.
std::optional<QList<QVariant>> Call(const std::string& connectionName, const QString& interface,
                                    const QString& method, const QList<QVariant>& arguments) {
    QDBusConnection bus = Bus(connectionName);
    if (!bus.isConnected())
        return std::nullopt;
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, interface, method);
    message.setArguments(arguments);
    // Never let the bus start firewalld for us: a service being started answers late.
    message.setAutoStartService(false);
    const QDBusMessage reply = bus.call(message, QDBus::Block, kFirewalldCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return std::nullopt;
    return reply.arguments();
}

QList<QVariant> PortArguments(const std::string& zone, int port, const char* protocol) {
    return {QString::fromStdString(zone), QString::number(port), QString::fromLatin1(protocol)};
}

} // namespace

namespace dbus {

CFirewalldBus::CFirewalldBus(const std::string& busAddress) {
    if (busAddress.empty())
        return;
    connectionName = "tvn-firewalld-" + std::to_string(++connectionCount);
    QDBusConnection::connectToBus(QString::fromStdString(busAddress),
                                  QString::fromStdString(connectionName));
}

CFirewalldBus::~CFirewalldBus() {
    if (!connectionName.empty())
        QDBusConnection::disconnectFromBus(QString::fromStdString(connectionName));
}

std::optional<std::string> CFirewalldBus::DefaultZone() {
    const auto answer = Call(connectionName, kMainInterface, QStringLiteral("getDefaultZone"), {});
    if (!answer || answer->isEmpty() || answer->first().toString().isEmpty())
        return std::nullopt;
    return answer->first().toString().toStdString();
}

std::optional<bool> CFirewalldBus::QueryPort(const std::string& zone, int port,
                                             const char* protocol) {
    const auto answer = Call(connectionName, kZoneInterface, QStringLiteral("queryPort"),
                             PortArguments(zone, port, protocol));
    if (!answer || answer->isEmpty())
        return std::nullopt;
    return answer->first().toBool();
}

bool CFirewalldBus::AddPort(const std::string& zone, int port, const char* protocol) {
    auto arguments = PortArguments(zone, port, protocol);
    arguments.append(0); // a timeout of 0: the rule stays until removed or firewalld reloads
    return Call(connectionName, kZoneInterface, QStringLiteral("addPort"), arguments).has_value();
}

bool CFirewalldBus::RemovePort(const std::string& zone, int port, const char* protocol) {
    return Call(connectionName, kZoneInterface, QStringLiteral("removePort"),
                PortArguments(zone, port, protocol))
        .has_value();
}

} // namespace dbus
} // namespace tvn
