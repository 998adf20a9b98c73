#include "qtsupport/CommandLine.hpp"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/Version.hpp"

namespace tact {

namespace {

// Options QApplication takes itself (with one dash or two).
constexpr const char* kQtValueOptions[] = {"platform",
                                           "platformpluginpath",
                                           "platformtheme",
                                           "plugin",
                                           "qwindowgeometry",
                                           "qwindowicon",
                                           "qwindowtitle",
                                           "display",
                                           "geometry",
                                           "style",
                                           "stylesheet",
                                           "session",
                                           "name",
                                           "title",
                                           "visual",
                                           "qmljsdebugger",
                                           "qwindowscreen"};
constexpr const char* kQtFlags[] = {"reverse", "nograb", "dograb", "sync", "widgetcount"};

// The name of a Qt option without its dashes, or empty.
std::string_view qtName(std::string_view arg) {
    if (arg.size() < 2 || arg[0] != '-')
        return {};
    arg.remove_prefix(arg[1] == '-' ? 2 : 1);
    return arg;
}

bool isQtValueOption(std::string_view name) {
    for (const char* o : kQtValueOptions)
        if (name == o)
            return true;
    return false;
}

bool isQtFlag(std::string_view name) {
    for (const char* o : kQtFlags)
        if (name == o)
            return true;
    return false;
}

}  // namespace

std::string CommandLine::value(const std::string& name) const {
    auto it = given.find(name);
    return it == given.end() || it->second.empty() ? std::string() : it->second.back();
}

std::vector<std::string> CommandLine::values(const std::string& name) const {
    auto it = given.find(name);
    return it == given.end() ? std::vector<std::string>() : it->second;
}

CommandLine parseCommandLine(int argc, char** argv, std::span<const ProgramOption> options) {
    CommandLine line;
    for (int i = 1; i < argc && line.error.empty(); ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "-h" || arg == "--help") {
            line.help = true;
            continue;
        }
        if (arg == "--version") {
            line.version = true;
            continue;
        }
        bool known = false;
        for (const auto& option : options) {
            const std::string_view name(option.name);
            if (arg == name) {
                known = true;
                if (!option.value) {
                    line.given[option.name].emplace_back();
                } else if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                    line.error = std::string(name) + " needs " + option.value;
                } else {
                    line.given[option.name].emplace_back(argv[++i]);
                }
            } else if (option.value && arg.size() > name.size() && arg.starts_with(name) &&
                       arg[name.size()] == '=') {
                known = true;
                const std::string value(arg.substr(name.size() + 1));
                if (value.empty())
                    line.error = std::string(name) + " needs " + option.value;
                else
                    line.given[option.name].push_back(value);
            }
            if (known)
                break;
        }
        if (known)
            continue;
        const std::string_view qt = qtName(arg);
        if (isQtFlag(qt))
            continue;
        if (isQtValueOption(qt)) {
            if (i + 1 >= argc)
                line.error = std::string(arg) + " needs a value";
            ++i;
            continue;
        }
        line.error = (arg.starts_with("-") ? "unknown option '" : "unexpected argument '") +
                     std::string(arg) + "'";
    }
    return line;
}

int commandLineExit(const CommandLine& line, const char* program, const char* usage) {
    if (!line.error.empty()) {
        const char* end = std::strchr(usage, '\n');
        const int length =
            end ? static_cast<int>(end - usage) : static_cast<int>(std::strlen(usage));
        std::fprintf(stderr, "%s: %s\n%.*s\nTry '%s --help' for more information.\n", program,
                     line.error.c_str(), length, usage, program);
        return 2;
    }
    if (line.help) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (line.version) {
        std::printf("%s %s\n", program, kSuiteVersion);
        return 0;
    }
    return -1;
}

}  // namespace tact
