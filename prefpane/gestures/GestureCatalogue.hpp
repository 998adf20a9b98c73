// Every gesture the agent turns into a desktop action, and the action it
// carries out (by its identifier, as the agent and the user's shortcut store
// name it). The agent's swipe and pinch mapping decides these; this list
// says the same for people.
#pragma once

#include <span>
#include <string_view>

namespace tact::gestures {

struct GestureEntry {
    // What the person does.
    std::string_view gesture;
    // The action identifier ("81", "KeyCommandRightbracket"); empty when the
    // gesture does something fixed that no shortcut changes.
    std::string_view action;
    // What it does when no shortcut applies (fixed gestures), or a remark
    // that belongs to the row; may be empty.
    std::string_view note;
};

std::span<const GestureEntry> gestureCatalogue();

}  // namespace tact::gestures
