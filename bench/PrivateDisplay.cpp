#include "bench/PrivateDisplay.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstring>
#include <string_view>

#include "platform/x11/XcbHandles.hpp"

namespace tact::bench {

PrivateDisplay::PrivateDisplay(int width, int height) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error_ = "no pipe for Xvfb";
        return;
    }
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    const std::string fd = std::to_string(fds[1]);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::fcntl(fds[1], F_SETFD, 0);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
                 "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid_ < 0) {
        ::close(fds[0]);
        error_ = "cannot start Xvfb";
        return;
    }
    // Xvfb writes its display number once it listens.
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0) {
        char c;
        if (::read(fds[0], &c, 1) != 1 || c == '\n')
            break;
        number += c;
    }
    ::close(fds[0]);
    if (number.empty()) {
        error_ = "Xvfb did not start (is it installed?)";
        return;
    }
    display_ = ":" + number;
}

PrivateDisplay::~PrivateDisplay() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool PrivateDisplay::activateWindowOfClass(const std::string& wmClass) {
    platform::x11::ConnectionPtr c(xcb_connect(display_.c_str(), nullptr));
    if (xcb_connection_has_error(c.get()))
        return false;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c.get())).data;
    const xcb_window_t window = xcb_generate_id(c.get());
    xcb_create_window(c.get(), XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 100, 100, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING,
                        8, static_cast<std::uint32_t>(wmClass.size()), wmClass.data());
    xcb_map_window(c.get(), window);
    const xcb_atom_t active = platform::x11::internAtom(c.get(), "_NET_ACTIVE_WINDOW");
    xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, screen->root, active, XCB_ATOM_WINDOW, 32,
                        1, &window);
    // The window stays when this client leaves.
    xcb_set_close_down_mode(c.get(), XCB_CLOSE_DOWN_RETAIN_PERMANENT);
    platform::x11::Reply<xcb_get_input_focus_reply_t> sync(
        xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr));
    return sync != nullptr;
}

}  // namespace tact::bench
