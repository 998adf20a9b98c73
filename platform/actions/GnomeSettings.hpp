// The GSettings keys that hold a GNOME desktop's shortcuts, read through GIO
// from whatever backend the session uses (dconf on a desktop; GSETTINGS_BACKEND
// chooses another, e.g. "memory" in tests). Schemas that are not installed
// read as unset: a key of a missing schema never aborts the program.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::actions {

class GnomeSettings {
  public:
    GnomeSettings();
    ~GnomeSettings();
    GnomeSettings(const GnomeSettings&) = delete;
    GnomeSettings& operator=(const GnomeSettings&) = delete;

    // The accelerators under schema/key as they are now: the strings of a
    // string-list key, or the one string of a string key (GNOME keeps the
    // overview's key, "overlay-key", that way). Empty strings are left out;
    // nothing when the schema or the key is not installed.
    std::vector<std::string> accelerators(std::string_view schema, std::string_view key);

    bool hasSchema(std::string_view schema);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform::actions
