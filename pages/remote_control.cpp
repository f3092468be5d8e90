// The remote control's command table and its page stage.
#include "pages/remote_control.h"

#include "http/http_date.h"
#include "pages/desktop_access.h"
#include "pages/page_wrap.h"
#include "pages/template_tags.h"
#include "platform/media_player.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>
#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace tvn {
namespace {

constexpr std::string_view kRemoteFolder = "/RemoteControl/";

// The window messages the remote control's buttons stand for, as its pages were made for.
constexpr std::uint32_t kAppCommand = 0x319; // the second parameter's high word says which
constexpr std::uint32_t kKeyDown = 0x100;    // the first parameter is the virtual key
constexpr std::uint32_t kChar = 0x102;       // the first parameter is the character

struct CRemoteCommand {
    std::string_view name;
    std::uint32_t message;
    std::int32_t first;
    std::uint32_t second;
};

// Second parameters of the keys carry the repeat count 1, the scan code in bits 16-23 and
// the extended-key flag in bit 24.
constexpr CRemoteCommand kCommands[] = {
    {"Stop", kAppCommand, -1, 0x000D0000},
    {"Pause", kAppCommand, -1, 0x002F0000},
    {"Rew", kAppCommand, -1, 0x00320000},
    {"Play", kAppCommand, -1, 0x002E0000},
    {"Fwd", kAppCommand, -1, 0x00310000},
    {"Replay", kAppCommand, -1, 0x000C0000},
    {"Skip", kAppCommand, -1, 0x000B0000},
    {"Vol+", kAppCommand, -1, 0x000A0000},
    {"Vol-", kAppCommand, -1, 0x00090000},
    {"Rec", kAppCommand, -1, 0x00300000},
    {"Back", kAppCommand, -1, 0x00010000},
    {"Up", kKeyDown, 38, 0x01480001},
    {"More", 0, 0, 0},
    {"Left", kKeyDown, 37, 0x014B0001},
    {"OK", kKeyDown, 13, 0x001C0001},
    {"Right", kKeyDown, 39, 0x014D0001},
    {"Down", kKeyDown, 40, 0x01500001},
    {"Ch+", kAppCommand, -1, 0x00330000},
    {"Mute", kAppCommand, -1, 0x00080000},
    {"Ch-", kAppCommand, -1, 0x00340000},
    {"*", kChar, 42, 0x00090001},
    {"#", kChar, 35, 0x00040001},
    {"Clear", kKeyDown, 8, 0x00010001},
    {"Enter", kKeyDown, 13, 0x001C0001},
    {"1", kKeyDown, 49, 0x00020001},
    {"2", kKeyDown, 50, 0x00030001},
    {"3", kKeyDown, 51, 0x00040001},
    {"4", kKeyDown, 52, 0x00050001},
    {"5", kKeyDown, 53, 0x00060001},
    {"6", kKeyDown, 54, 0x00070001},
    {"7", kKeyDown, 55, 0x00080001},
    {"8", kKeyDown, 56, 0x00090001},
    {"9", kKeyDown, 57, 0x000A0001},
    {"0", kKeyDown, 48, 0x000B0001},
};

const std::map<std::string_view, CRemoteCommand>& CommandTable() {
    static const std::map<std::string_view, CRemoteCommand> table = [] {
        std::map<std::string_view, CRemoteCommand> built;
        for (const CRemoteCommand& command : kCommands)
            built.emplace(command.name, command);
        return built;
    }();
    return table;
}

// What an application command becomes: an MPRIS call, or for those MPRIS has no method
// for, a key a player understands (Kodi's channel keys are Page Up and Page Down).
struct CPlayerAction {
    std::optional<PlayerCall> call;
    std::string_view key;
};

std::optional<CPlayerAction> ActionOfAppCommand(std::uint32_t appCommand) {
    switch (appCommand) {
    case 1:
        return CPlayerAction{std::nullopt, "XF86Back"};
    case 8:
        return CPlayerAction{PlayerCall::kToggleMute, {}};
    case 9:
        return CPlayerAction{PlayerCall::kVolumeDown, {}};
    case 10:
        return CPlayerAction{PlayerCall::kVolumeUp, {}};
    case 11:
        return CPlayerAction{PlayerCall::kNext, {}};
    case 12:
        return CPlayerAction{PlayerCall::kPrevious, {}};
    case 13:
        return CPlayerAction{PlayerCall::kStop, {}};
    case 46:
        return CPlayerAction{PlayerCall::kPlay, {}};
    case 47:
        return CPlayerAction{PlayerCall::kPause, {}};
    case 48:
        return CPlayerAction{std::nullopt, "XF86AudioRecord"};
    case 49:
        return CPlayerAction{PlayerCall::kSeekForward, {}};
    case 50:
        return CPlayerAction{PlayerCall::kSeekBack, {}};
    case 51:
        return CPlayerAction{std::nullopt, "Page_Up"};
    case 52:
        return CPlayerAction{std::nullopt, "Page_Down"};
    default:
        return std::nullopt;
    }
}

// The X key symbol of a virtual key of the table; empty for any other.
std::string_view KeyOfVirtualKey(std::int32_t virtualKey) {
    static constexpr std::string_view kDigits[] = {"0", "1", "2", "3", "4",
                                                   "5", "6", "7", "8", "9"};
    if (virtualKey >= '0' && virtualKey <= '9')
        return kDigits[virtualKey - '0'];
    switch (virtualKey) {
    case 8:
        return "BackSpace";
    case 13:
        return "Return";
    case 37:
        return "Left";
    case 38:
        return "Up";
    case 39:
        return "Right";
    case 40:
        return "Down";
    default:
        return {};
    }
}

std::string_view KeyOfCharacter(std::int32_t character) {
    switch (character) {
    case '*':
        return "asterisk";
    case '#':
        return "numbersign";
    default:
        return {};
    }
}

bool RunAction(const CRemoteCommand& command) {
    std::string_view key;
    switch (command.message) {
    case kAppCommand: {
        const auto action = ActionOfAppCommand((command.second >> 16) & 0x0FFF);
        if (command.first != -1 || !action)
            return CallMediaPlayer(PlayerCall::kNothing); // a message no player acts on
        if (action->call)
            return CallMediaPlayer(*action->call);
        key = action->key;
        break;
    }
    case kKeyDown:
        key = KeyOfVirtualKey(command.first);
        break;
    case kChar:
        key = KeyOfCharacter(command.first);
        break;
    default:
        return CallMediaPlayer(PlayerCall::kNothing); // "More": nothing is sent
    }
    return !key.empty() && PressKeyInPlayer(key);
}

// The commands wait on the player: they run on a thread of their own, so that a player
// that does not answer never holds the workers that read pages and make thumbnails. A
// few clicks may wait; beyond that a command is dropped, so that clicking on at a hung
// player does not pile up work for minutes.
constexpr int kMaxWaitingCommands = 8;
std::atomic<int> waitingCommands{0};

QThreadPool* CommandThread() {
    static QPointer<QThreadPool> pool;
    if (!pool) {
        pool = new QThreadPool(QCoreApplication::instance());
        pool->setMaxThreadCount(1);
    }
    return pool;
}

StageResult PutRedirectToPage(CRequestContext& context) {
    context.answer.Start(HttpStatus::kRedirection);
    context.answer.AddHeader("Location", EncodeLink(context.request.urlPath));
    return StageResult::kAnswered;
}

StageResult RunThenRedirect(CRequestContext& context, std::string name) {
    if (waitingCommands.fetch_add(1) >= kMaxWaitingCommands) {
        waitingCommands.fetch_sub(1);
        return PutRedirectToPage(context);
    }
    return context.Park(
        [name = std::move(name)] {
            RunRemoteCommand(name);
            waitingCommands.fetch_sub(1);
        },
        PutRedirectToPage, context.WaitsThroughEventLoop() ? CommandThread() : nullptr);
}

// The Date of the answer, so that Expires says "already" to the second.
std::string DateOfAnswer(const CRequestContext& context) {
    if (!context.answer.Started())
        return FormatHttpDateNow();
    return FormatHttpDate(context.answer.Date());
}

} // namespace

int RunRemoteCommand(std::string_view name) {
    const auto& table = CommandTable();
    const auto it = table.find(name);
    if (it == table.end())
        return kRemoteUnknown;
    return RunAction(it->second) ? kRemoteDone : kRemoteNoPlayer;
}

StageResult HandleRemoteControl(CRequestContext& context) {
    if (!context.request.urlPath.starts_with(kRemoteFolder))
        return StageResult::kGoOn;
    const std::string& value = context.request.Param("value");
    if (value.empty()) {
        context.answer.AddHeader("Expires", DateOfAnswer(context));
        return WrapPage(context);
    }
    if (MayUseDesktop(context))
        return RunThenRedirect(context, value);
    return PutRedirectToPage(context);
}

} // namespace tvn
