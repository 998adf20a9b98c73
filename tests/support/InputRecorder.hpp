// Records every key and button that reaches an X server, as an X client
// sees it: XInput 2 raw events on the root window, from every device
// (keyboards, mice and the server's "Virtual core XTEST" devices that fake
// input arrives from), in order, grabs or not.
//
//     InputRecorder recorder(desktop.display());   // before the input
//     ... run the program that sends it, to its end ...
//     EXPECT_EQ(recorder.sequence(), (std::vector<std::string>{"+Super_L", "+Next", ...}));
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/XClient.hpp"

namespace tact::test {

struct RawInput {
    enum class Kind { KeyDown, KeyUp, ButtonDown, ButtonUp };
    Kind kind;
    std::uint32_t detail;  // X key code or button number
    // Keys: the name of the key code's first keysym in the server's keymap
    // ("Super_L", "Next", "a"); empty when it has none, and for buttons.
    std::string keysym;
    // The device the input came from ("Virtual core XTEST keyboard").
    std::string device;
    // A release of a key or button that device did not hold down (X clients
    // never see it as a key or button event; xdotool sends one for every
    // modifier it releases). A key already held when the recorder started
    // counts as not held.
    bool unpaired = false;

    bool press() const { return kind == Kind::KeyDown || kind == Kind::ButtonDown; }
    bool key() const { return kind == Kind::KeyDown || kind == Kind::KeyUp; }
    // "+Control_L", "-Control_L", "+button4", "-button4"; a key without a
    // keysym is "+key<code>".
    std::string text() const;
};

// Which releases a sequence lists: all of them, or only those of a key or
// button that was down, as X clients see them.
enum class Releases { All, Paired };

// The texts of the inputs, in order.
std::vector<std::string> texts(const std::vector<RawInput>& inputs,
                               Releases releases = Releases::All);

class InputRecorder {
  public:
    // Connects and starts recording; every input the server handles after
    // the constructor returned is recorded.
    explicit InputRecorder(const std::string& display);
    InputRecorder(const InputRecorder&) = delete;
    InputRecorder& operator=(const InputRecorder&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // Everything recorded so far, including every input the server handled
    // before this call: call it once the program that sent the input has
    // finished (its requests are then handled, and a round trip here brings
    // every event they caused).
    const std::vector<RawInput>& events();
    // events() as texts.
    std::vector<std::string> sequence(Releases releases = Releases::All) {
        return texts(events(), releases);
    }
    // For input from a program still running or that does not wait for the
    // server: waits until nothing new arrived for `quiet`, at most `limit`.
    const std::vector<RawInput>& settle(
        std::chrono::milliseconds quiet = std::chrono::milliseconds(200),
        std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Forgets what was recorded (not which keys are held).
    void clear() { events_.clear(); }

  private:
    // Reads what is already here; true when there was anything.
    bool drain();
    void handle(const xcb_generic_event_t& event);
    void readKeymap();
    void readDevices();
    std::string keysymName(std::uint32_t keycode) const;

    XClient client_;
    std::string error_;
    std::uint8_t xinputOpcode_ = 0;
    std::vector<RawInput> events_;
    // The first keysym of each key code, from the server's keymap.
    std::map<std::uint32_t, std::uint32_t> keysyms_;
    std::map<std::uint16_t, std::string> devices_;
    // Keys (code) and buttons (code + 256) each device holds down now.
    std::set<std::pair<std::uint16_t, std::uint32_t>> held_;
};

}  // namespace tact::test
