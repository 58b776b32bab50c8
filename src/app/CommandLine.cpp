#include "app/CommandLine.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace CommandLine {

namespace {

constexpr std::string_view help = "Usage: tonewharf [--version | --help]\n"
                                  "\n"
                                  "Tonewharf carries colour looks between TINTARA on an iPad and DaVinci\n"
                                  "Resolve. Started without arguments it runs in the background with an\n"
                                  "icon in the system tray, whose menu holds its commands and settings.\n"
                                  "\n"
                                  "  --version   print the version and exit\n"
                                  "  -h, --help  print this help and exit\n"
                                  "\n"
                                  "Environment:\n"
                                  "  TONEWHARF_RESOLVE_DIR  DaVinci Resolve's folder, when not /opt/resolve\n"
                                  "  TONEWHARF_CLOUD_URL    the address of a self-hosted cloud service\n";

bool isVersion(std::string_view argument) {
    return argument == "--version";
}
bool isHelp(std::string_view argument) {
    return argument == "--help" || argument == "-h";
}

// Exit status 0 only when the answer reached its reader (not so with a full disk or a closed pipe).
int printed(std::string_view text) {
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    return std::fflush(stdout) == 0 && written ? 0 : 1;
}

} // namespace

std::optional<int> handle(int argc, const char* const* argv) {
    if (argc < 2) {
        return std::nullopt;
    }
    if (argc == 2 && isVersion(argv[1])) {
        return printed("Tonewharf " TONEWHARF_VERSION "\n");
    }
    if (argc == 2 && isHelp(argv[1])) {
        return printed(help);
    }
    // The first argument that cannot stand where it is: an unknown one, or a second known one.
    int refused = 1;
    while (refused < argc - 1 && (isVersion(argv[refused]) || isHelp(argv[refused]))) {
        ++refused;
    }
    // Control characters would break the one-line message apart.
    std::string shown(argv[refused]);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    std::fprintf(stderr, "tonewharf: unexpected argument \"%s\" (see tonewharf --help)\n", shown.c_str());
    return 2;
}

} // namespace CommandLine
