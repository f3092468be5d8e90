// A firewalld for the tests: org.fedoraproject.FirewallD1 on the session bus with the calls
// the program makes (getDefaultZone; addPort, removePort and queryPort of the zone interface).
// It keeps the runtime ports it was given, writes every call it gets to its standard output
// as a line ("getDefaultZone", "addPort public 8080 tcp 0") and "ready" once it can be called.
//   --zone Z    the default zone, "public" unless given
//   --open P    the default zone lets TCP port P in from the start (may be repeated)
//   --hang      every call is recorded and never answered
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QSet>
#include <QStringList>
#include <cstdio>

namespace {

void Record(const QString& line) {
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

class CFirewallState : public QObject {
  public:
    QString defaultZone = QStringLiteral("public");
    QSet<QString> open; // "zone port/protocol"
    bool hang = false;

    // Records a call; true when it is to be answered.
    bool Called(const QString& line, const QDBusMessage& message) const {
        Record(line);
        if (hang)
            message.setDelayedReply(true); // and no reply ever comes
        return !hang;
    }
    QString Zone(const QString& zone) const { return zone.isEmpty() ? defaultZone : zone; }
    static QString Rule(const QString& zone, const QString& port, const QString& protocol) {
        return zone + QLatin1Char(' ') + port + QLatin1Char('/') + protocol;
    }
};

class CMainAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.fedoraproject.FirewallD1")

  public:
    explicit CMainAdaptor(CFirewallState* owner) : QDBusAbstractAdaptor(owner), state(owner) {}

  public slots:
    QString getDefaultZone(const QDBusMessage& message) {
        state->Called(QStringLiteral("getDefaultZone"), message);
        return state->defaultZone;
    }

  private:
    CFirewallState* state;
};

class CZoneAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.fedoraproject.FirewallD1.zone")

  public:
    explicit CZoneAdaptor(CFirewallState* owner) : QDBusAbstractAdaptor(owner), state(owner) {}

  public slots:
    QString addPort(const QString& zone, const QString& port, const QString& protocol, int timeout,
                    const QDBusMessage& message) {
        const QStringList call{QStringLiteral("addPort"), zone, port, protocol,
                               QString::number(timeout)};
        if (state->Called(call.join(QLatin1Char(' ')), message))
            state->open.insert(CFirewallState::Rule(state->Zone(zone), port, protocol));
        return state->Zone(zone);
    }
    QString removePort(const QString& zone, const QString& port, const QString& protocol,
                       const QDBusMessage& message) {
        const QStringList call{QStringLiteral("removePort"), zone, port, protocol};
        if (state->Called(call.join(QLatin1Char(' ')), message))
            state->open.remove(CFirewallState::Rule(state->Zone(zone), port, protocol));
        return state->Zone(zone);
    }
    bool queryPort(const QString& zone, const QString& port, const QString& protocol,
                   const QDBusMessage& message) {
        const QStringList call{QStringLiteral("queryPort"), zone, port, protocol};
        state->Called(call.join(QLatin1Char(' ')), message);
        return state->open.contains(CFirewallState::Rule(state->Zone(zone), port, protocol));
    }

  private:
    CFirewallState* state;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    CFirewallState state;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        const bool hasValue = i + 1 < arguments.size();
        if (arguments[i] == QLatin1String("--hang"))
            state.hang = true;
        else if (arguments[i] == QLatin1String("--zone") && hasValue)
            state.defaultZone = arguments[++i];
        else if (arguments[i] == QLatin1String("--open") && hasValue)
            state.open.insert(
                CFirewallState::Rule(state.defaultZone, arguments[++i], QStringLiteral("tcp")));
    }
    new CMainAdaptor(&state);
    new CZoneAdaptor(&state);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/org/fedoraproject/FirewallD1"), &state) ||
        !bus.registerService(QStringLiteral("org.fedoraproject.FirewallD1")))
        return 1;
    Record(QStringLiteral("ready"));
    return app.exec();
}

#include "fake_firewalld.moc"
