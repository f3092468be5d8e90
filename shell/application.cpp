#include "shell/application.h"

#include "platform/descriptor_limit.h"
#include "shell/command_word.h"
#include "shell/instance_channel.h"
#include "shell/instance_lock.h"
#include "shell/server_control.h"
#include "shell/termination_signals.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>

namespace tvn {
namespace {

// TODO(presence): the firewall profile. Without a firewall service there is none, at once; the
// firewall code answers here (and the start waits for it) once it exists.
bool AcquireFirewallProfile() { return false; }

} // namespace

CDA::CDA(CUserInterface userInterface) : ui(std::move(userInterface)) {}

int CDA::Run(const std::vector<std::string>& arguments) {
    RaiseDescriptorLimit(); // every visitor holds one while served
    CInstanceLock lock;
    const bool alreadyRunning = !lock.TryLock();
    const bool firewallProfile = AcquireFirewallProfile();
    switch (ParseCommandWord(arguments)) {
    case CommandWord::Stop:
        RunStop();
        return 0;
    case CommandWord::Install:
        RunInstall();
        return 0;
    case CommandWord::Uninstall:
        RunUninstall(ui);
        return 0;
    case CommandWord::None:
        break;
    }
    if (alreadyRunning) {
        // A second start is never an error: the first instance shows itself.
        SendInstanceCommand(InstanceChannelPath(), kCommandShowWindow);
        return 0;
    }
    return RunMainWindow(firewallProfile);
}

int CDA::RunMainWindow(bool firewallProfile) {
    CServerControl control(ui, firewallProfile);
    bool ending = false;
    const auto onCommand = [&](int command) {
        if (command == kCommandShowWindow && !ending) {
            control.ShowWindow();
        } else if (command == kCommandExit && !ending) {
            ending = true;
            control.Shutdown();
            QCoreApplication::quit();
        }
    };
    CInstanceChannel channel(InstanceChannelPath(), onCommand);
    channel.Listen();
    // A desktop session ends its programs with SIGTERM, a terminal with SIGINT: both take
    // the exit path, so the access log and the settings are left whole.
    CTerminationSignals terminationSignals([&] { onCommand(kCommandExit); });
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { control.LoadSettingsAndStart(); },
        Qt::QueuedConnection);
    QCoreApplication::exec();
    // Work that answers were waiting for (thumbnails) ends before the caches it fills go.
    QThreadPool::globalInstance()->waitForDone();
    return 0;
}

} // namespace tvn
