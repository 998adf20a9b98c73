#include "tests/support/PrivateBus.hpp"

#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <sstream>

namespace tact::test {

std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty())
            continue;
        std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

PrivateBus::PrivateBus() {
    start("unix:dir=" + dir_.path());
}

PrivateBus::PrivateBus(const std::string& socketPath) {
    start("unix:path=" + socketPath);
}

void PrivateBus::start(const std::string& listen) {
    const std::string program = findOnPath("dbus-daemon");
    if (program.empty()) {
        error_ = "dbus-daemon is not installed";
        return;
    }
    const std::string config = dir_.file("session.conf");
    writeFile(config,
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>session</type>\n"
              "  <listen>" +
                  listen +
                  "</listen>\n"
                  "  <auth>EXTERNAL</auth>\n"
                  "  <policy context=\"default\">\n"
                  "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                  "    <allow eavesdrop=\"true\"/>\n"
                  "    <allow own=\"*\"/>\n"
                  "  </policy>\n"
                  "</busconfig>\n");
    try {
        daemon_ = std::make_unique<BackgroundProcess>(std::vector<std::string>{
            program, "--config-file=" + config, "--nofork", "--print-address=1"});
    } catch (const std::exception& e) {
        error_ = e.what();
        return;
    }
    std::string line;
    if (!daemon_->readLine(line) || line.empty()) {
        error_ = "dbus-daemon did not print its address";
        daemon_.reset();
        return;
    }
    address_ = line;
}

PrivateBus::~PrivateBus() {
    daemon_.reset();
}

}  // namespace tact::test
