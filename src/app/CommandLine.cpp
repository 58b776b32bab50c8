#include "app/CommandLine.h"

#include "bus/BusClient.h"
#include "ui/MenuContent.h"

#include <QCoreApplication>
#include <QDateTime>

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

namespace CommandLine {

namespace {

constexpr std::string_view help =
    "Usage: tonewharf [--status | --sync-now | --pause | --resume | --version | --help]\n"
    "\n"
    "Tonewharf carries colour looks between TINTARA on an iPad and DaVinci\n"
    "Resolve. Started without arguments it runs in the background with an\n"
    "icon in the system tray, whose menu holds its commands and settings.\n"
    "\n"
    "  --status    print the running Tonewharf's status and its latest activity\n"
    "  --sync-now  ask the running Tonewharf to sync with TINTARA now\n"
    "  --pause     ask the running Tonewharf to pause\n"
    "  --resume    ask the running Tonewharf to carry on after a pause\n"
    "  --version   print the version and exit\n"
    "  -h, --help  print this help and exit\n"
    "\n"
    "The running Tonewharf answers on the session bus as com.quillfen.Tonewharf.\n"
    "\n"
    "Environment:\n"
    "  TONEWHARF_RESOLVE_DIR  DaVinci Resolve's folder, when not /opt/resolve\n"
    "  TONEWHARF_CLOUD_URL    the address of a self-hosted cloud service\n";

// The activity lines --status prints, newest first.
constexpr int activityShown = 10;

enum class Request { status, syncNow, pause, resume };

struct Option {
    std::string_view name;
    std::optional<Request> request; // nothing for --version and --help
};

constexpr std::array options{
    Option{"--version", std::nullopt},
    Option{"--help", std::nullopt},
    Option{"-h", std::nullopt},
    Option{"--status", Request::status},
    Option{"--sync-now", Request::syncNow},
    Option{"--pause", Request::pause},
    Option{"--resume", Request::resume},
};

const Option* optionNamed(std::string_view argument) {
    for (const Option& option : options) {
        if (option.name == argument) {
            return &option;
        }
    }
    return nullptr;
}

// Texts from outside (an argument, a look's name sent by an iPad) must not steer the terminal:
// control characters, C0 and C1 (U+0080 to U+009F, "\xC2\x80" to "\xC2\x9F" in UTF-8), become "?".
std::string printable(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == 0xc2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xe0) == 0x80) {
            shown += '?';
            ++i;
        } else {
            shown += byte < 0x20 || byte == 0x7f ? '?' : char(byte);
        }
    }
    return shown;
}

std::string printable(const QString& text) {
    return printable(std::string_view(text.toUtf8().toStdString()));
}

// Exit status 0 only when the answer reached its reader (not so with a full disk or a closed pipe).
int printed(std::string_view text) {
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    return std::fflush(stdout) == 0 && written ? 0 : 1;
}

// The status lines, then the newest activity lines as the menu shows them.
std::string statusText(const BusClient::Status& status) {
    std::string text;
    for (const QString& line : status.lines) {
        text += printable(line) + '\n';
    }
    const QDateTime now = QDateTime::currentDateTime();
    const qsizetype shown = std::min<qsizetype>(status.activity.size(), activityShown);
    if (shown > 0) {
        text += '\n';
    }
    for (const Bus::ActivityEntry& entry : status.activity.first(shown)) {
        text.append(entry.ok ? "" : "✗ ").append(printable(entry.text)).append(" · ");
        text.append(printable(elapsedText(QDateTime::fromMSecsSinceEpoch(entry.time), now))).append("\n");
    }
    return text;
}

int failed(const BusClient& bus) {
    switch (bus.outcome()) {
    case BusClient::Outcome::notRunning:
        std::fputs("Tonewharf is not running\n", stderr);
        break;
    case BusClient::Outcome::noBus:
        std::fputs("tonewharf: there is no session bus to reach a running Tonewharf through\n", stderr);
        break;
    case BusClient::Outcome::failed:
    case BusClient::Outcome::answered:
        std::fprintf(stderr, "tonewharf: %s\n", printable(bus.error()).c_str());
        break;
    }
    return 1;
}

// Asks the running instance; QtDBus wants an application object, though not a GUI.
int ask(Request request) {
    int argc = 1;
    char name[] = "tonewharf";
    char* argv[] = {name, nullptr};
    const QCoreApplication application(argc, argv);
    BusClient bus;
    if (request == Request::status) {
        const std::optional<BusClient::Status> status = bus.status();
        return status ? printed(statusText(*status)) : failed(bus);
    }
    const BusClient::Outcome outcome =
        request == Request::syncNow ? bus.call(QStringLiteral("SyncNow"))
                                    : bus.call(QStringLiteral("SetPaused"), {request == Request::pause});
    return outcome == BusClient::Outcome::answered ? 0 : failed(bus);
}

} // namespace

std::optional<int> handle(int argc, const char* const* argv) {
    if (argc < 2) {
        return std::nullopt;
    }
    if (argc == 2) {
        if (const Option* option = optionNamed(argv[1])) {
            if (option->request) {
                return ask(*option->request);
            }
            return printed(option->name == "--version" ? "Tonewharf " TONEWHARF_VERSION "\n" : help);
        }
    }
    // The first argument that cannot stand where it is: an unknown one, or a second known one.
    int refused = 1;
    while (refused < argc - 1 && optionNamed(argv[refused])) {
        ++refused;
    }
    std::fprintf(stderr, "tonewharf: unexpected argument \"%s\" (see tonewharf --help)\n",
                 printable(std::string_view(argv[refused])).c_str());
    return 2;
}

} // namespace CommandLine
