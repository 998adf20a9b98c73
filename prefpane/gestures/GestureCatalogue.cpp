#include "prefpane/gestures/GestureCatalogue.hpp"

namespace tact::gestures {
namespace {

constexpr GestureEntry kGestures[] = {
    {"Three fingers left", "81", ""},
    {"Three fingers right", "79", ""},
    {"Three fingers up", "32", ""},
    {"Three fingers down", "33", ""},
    {"Four fingers left, in a browser", "KeyCommandRightbracket", ""},
    {"Four fingers right, in a browser", "KeyCommandLeftbracket", ""},
    {"Four fingers left, in a document viewer", "KeyRightArrow", ""},
    {"Four fingers right, in a document viewer", "KeyLeftArrow", ""},
    {"Four fingers up, in a document viewer", "KeyDownArrow", ""},
    {"Four fingers down, in a document viewer", "KeyUpArrow", ""},
    {"Five fingers spread, or left or right", "36", ""},
    {"Five fingers spread, in the launcher", "Escape", ""},
    {"Five fingers pinch, or up or down", "160", ""},
    {"Five fingers pinch, on the shown desktop", "177", ""},
    {"Two fingers pinch or spread", "", "zoom: Ctrl + mouse wheel where the pointer is (fixed)"},
    {"Two fingers rotate", "", "nothing: rotation has no common meaning on Linux desktops"},
    {"Start of a sideways two-finger scroll", "",
     "the left or right arrow key, as for document viewers above; "
     "only with \u201cArrow key at the start of a scroll\u201d on (Tuning)"},
};

}  // namespace

std::span<const GestureEntry> gestureCatalogue() {
    return kGestures;
}

}  // namespace tact::gestures
