// What the pane plug-in exports: its principal class, MultitouchPrefsPane.
#include "prefpane/MultitouchPrefsPane.hpp"
#include "prefpane/host/PreferencePane.hpp"

TACT_PREFERENCE_PANE(MultitouchPrefsPane, tact::MultitouchPrefsPane)
