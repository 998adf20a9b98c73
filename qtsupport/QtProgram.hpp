// What every program with windows sets up before its own parts, in order: the
// log's name, the real run loop (installed as the main loop; SIGTERM and
// SIGINT end the program the way closing its window does), the Qt
// application, the bridge that runs the loop inside Qt's, and the session-bus
// notification centre. The program's own objects come after it and so go
// first; then the centre (sending what is still queued), the bridge, the
// application and the loop.
#pragma once

#include <QApplication>

#include <memory>
#include <string>

#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "qtsupport/QtRunLoopBridge.hpp"

namespace tact {

struct QtProgramNames {
    const char* log;          // the log's name and the program's: "tactpaint"
    const char* application;  // Qt's application name: "Tactpaint"
    const char* role;         // in front of start-up failures: "painter"
};

class QtProgram {
  public:
    QtProgram(int& argc, char** argv, QtProgramNames names);
    ~QtProgram();
    QtProgram(const QtProgram&) = delete;
    QtProgram& operator=(const QtProgram&) = delete;

    // False when the loop cannot run inside Qt's or the session bus cannot be
    // reached (said in the log); the program then exits with status 1.
    bool ready() const { return center_ != nullptr; }

    platform::RunLoop& loop() { return *loop_; }
    platform::NotificationCenter& center() { return *center_; }
    QApplication& application() { return *app_; }

  private:
    std::unique_ptr<platform::RunLoop> loop_;
    std::unique_ptr<QApplication> app_;
    std::unique_ptr<QtRunLoopBridge> bridge_;
    std::unique_ptr<platform::NotificationCenter> center_;
};

}  // namespace tact
