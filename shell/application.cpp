#include "shell/application.h"

#include "platform/descriptor_limit.h"
#include "presence/firewall.h"
#include "shell/command_word.h"
#include "shell/instance_channel.h"
#include "shell/instance_lock.h"
#include "shell/server_control.h"
#include "shell/termination_signals.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>

namespace tvn {

CDA::CDA(CUserInterface userInterface) : ui(std::move(userInterface)) {}

int CDA::Run(const std::vector<std::string>& arguments) {
    const CommandWord word = ParseCommandWord(arguments);
    if (word == CommandWord::Help) {
        PrintUsage();
        return 0;
    }
    RaiseDescriptorLimit(); // every visitor holds one while served
    CInstanceLock lock;
    const bool alreadyRunning = !lock.TryLock();
    // The start waits for the firewall service's first answer (half a second at most); without
    // one every firewall step is skipped.
    CFirewall firewall;
    const bool hasFirewall = firewall.Acquire();
    switch (word) {
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
    case CommandWord::Help:
        break;
    }
    if (alreadyRunning) {
        // A second start is never an error: the first instance shows itself.
        SendInstanceCommand(InstanceChannelPath(), kCommandShowWindow);
        return 0;
    }
    return RunMainWindow(hasFirewall ? &firewall : nullptr);
}

int CDA::RunMainWindow(CFirewall* firewall) {
    CServerControl control(ui, firewall);
    bool ending = false;
    const std::function<void(int)> onCommand = [&](int command) {
        if (ending)
            return;
        if (command == kCommandShowWindow) {
            control.ShowWindow();
        } else if (command == kCommandToggleEnable) {
            control.ToggleEnable();
        } else if (command == kCommandExit) {
            ending = true;
            control.Shutdown();
            QCoreApplication::quit();
        }
    };
    // The main window and tray of the desktop; they go before the control they show.
    const std::shared_ptr<void> mainWindow = ui.makeMainWindow(control, onCommand);
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
