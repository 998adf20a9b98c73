#include "tests/support/PrivateXServer.hpp"

#include "tests/support/PrivateBus.hpp"

namespace tact::test {

PrivateXServer::PrivateXServer() {
    const std::string program = findOnPath("Xvfb");
    if (program.empty())
        return;
    server_ = std::make_unique<BackgroundProcess>(std::vector<std::string>{
        program, "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
    std::string line;
    if (server_->readLine(line) && !line.empty())
        display_ = ":" + line;
}

}  // namespace tact::test
