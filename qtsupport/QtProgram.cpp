#include "qtsupport/QtProgram.hpp"

#include "platform/log/SystemLog.hpp"

namespace tact {

QtProgram::QtProgram(int& argc, char** argv, QtProgramNames names) {
    platform::setSystemLogIdentifier(names.log);
    loop_ = platform::makeRealRunLoop(true);
    platform::setMainRunLoop(loop_.get());
    app_ = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(names.application));
    bridge_ = std::make_unique<QtRunLoopBridge>(*loop_);
    if (!bridge_->isActive())
        return;
    if (auto center = platform::makeBusNotificationCenter(*loop_))
        center_ = std::move(*center);
    else
        platform::systemLog(platform::LogLevel::Error,
                            std::string(names.role) + ": " + center.error().detail);
}

QtProgram::~QtProgram() {
    center_.reset();
    bridge_.reset();
    app_.reset();
    platform::setMainRunLoop(nullptr);
}

}  // namespace tact
