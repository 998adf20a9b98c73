// Application preferences: one property-list file per domain, at
// ${XDG_CONFIG_HOME:-$HOME/.config}/<domain>.plist.
//
// Values set in this process are pending until the domain is synchronised;
// they are visible to this process at once. Synchronising with pending writes
// takes the domain's lock ("<file>.lock", waiting at most a few seconds for
// another program to release it), re-reads the file, applies this process's
// pending writes, writes the file atomically when anything changed, and
// releases the lock, so a value one process synchronised is seen by another
// after its own synchronise. Reading (copying a value, synchronising with
// nothing pending) takes no lock, creates nothing and never waits on another
// process. Domains are served from memory: a file is read again only when it
// changed, which the kernel tells (inotify on the folder), so synchronising
// a domain whose file did not change opens and parses nothing. A domain file that is a symbolic
// link is saved through the link. A key whose text in the file is not valid UTF-8 is not used; the
// file is kept aside as "<file>.invalid-utf8" before it is rewritten.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/values/Value.hpp"

namespace platform {

// The value stored under key, or nullopt when there is none.
std::optional<Value> CFPreferencesCopyAppValue(const String& key, const String& applicationID);

// Sets key to value; nullopt removes the key. Pending until synchronised.
void CFPreferencesSetAppValue(const String& key, const std::optional<Value>& value,
                              const String& applicationID);

// Synchronises the domain with its file. Returns false when the file could not
// be written, also when another program held the lock too long (the reason goes
// to the system log); pending writes are kept then.
bool CFPreferencesAppSynchronize(const String& applicationID);

// A number that changes whenever the values this process sees in the domain
// may have changed: its file was read again, or a value was set. What a
// caller derived from a copied value holds while the number stays the same.
std::uint64_t preferencesGeneration(const String& applicationID);

// How many times this process has read a domain file (for diagnostics).
std::uint64_t preferencesFileReads();

// One application's domain, named once: what a program hands on instead of
// naming the domain at every call.
class PreferenceDomain {
  public:
    explicit PreferenceDomain(String applicationID) : applicationID_(std::move(applicationID)) {}

    const String& applicationID() const { return applicationID_; }
    std::optional<Value> copyAppValue(const String& key) const {
        return CFPreferencesCopyAppValue(key, applicationID_);
    }
    void setAppValue(const String& key, const std::optional<Value>& value) const {
        CFPreferencesSetAppValue(key, value, applicationID_);
    }
    bool synchronize() const { return CFPreferencesAppSynchronize(applicationID_); }

  private:
    String applicationID_;
};

// The folder that holds the domain files. Defaults to XDG_CONFIG_HOME, else
// $HOME/.config, looked up at first use. Setting it (tests, replay) forgets
// every cached domain.
void setPreferencesDirectory(const std::string& directory);
std::string preferencesDirectory();
std::string preferencesPath(const String& applicationID);

}  // namespace platform
