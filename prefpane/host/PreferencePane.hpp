// The base class of a settings pane, and what a pane plug-in exports.
//
// A pane is a plug-in (a shared library) that the settings host, tactprefs,
// loads and drives: it builds the pane's main view once (mainViewDidLoad),
// tells the pane when it is shown (willSelect, didSelect) and when it is
// hidden or closed (willUnselect, didUnselect). The host hands every pane the
// services it shares: the run loop all callbacks arrive on, the notification
// centre and the workspace that starts other applications.
//
// A plug-in names its principal class with TACT_PREFERENCE_PANE. The host
// only calls the C functions that macro exports and the virtual functions of
// this class, so a plug-in keeps private copies of everything it links
// statically and shares nothing else with the host.
#pragma once

#include <QString>

#include <memory>
#include <string>

class QWidget;

namespace platform {
class NotificationCenter;
class RunLoop;
}  // namespace platform

namespace tact {

class Workspace;

// Raised whenever PaneContext or the virtual functions of PreferencePane
// change; the host refuses a plug-in built against another version.
inline constexpr unsigned kPreferencePaneInterfaceVersion = 1;

// What the host lends a pane. Everything here outlives the pane.
struct PaneContext {
    platform::RunLoop* runLoop = nullptr;
    platform::NotificationCenter* notificationCenter = nullptr;
    Workspace* workspace = nullptr;
    // The plug-in file the pane was loaded from; empty when linked in.
    std::string bundlePath;
};

class PreferencePane {
  public:
    explicit PreferencePane(const PaneContext& context);
    virtual ~PreferencePane();
    PreferencePane(const PreferencePane&) = delete;
    PreferencePane& operator=(const PreferencePane&) = delete;

    // Builds the main view (loadInterface) and calls mainViewDidLoad, the
    // first time only. Returns the view, which belongs to the pane: a host
    // that puts it into a window of its own takes it out again (or destroys
    // the pane) before that window goes.
    QWidget* loadMainView();
    QWidget* mainView() const { return mainView_.get(); }

    // The name the host shows for the pane.
    virtual QString label() const = 0;

    virtual void mainViewDidLoad() {}
    virtual void willSelect() {}
    virtual void didSelect() {}
    virtual void willUnselect() {}
    virtual void didUnselect() {}

    const PaneContext& context() const { return context_; }
    platform::RunLoop& runLoop() const { return *context_.runLoop; }
    platform::NotificationCenter& notificationCenter() const {
        return *context_.notificationCenter;
    }
    Workspace& workspace() const { return *context_.workspace; }

  protected:
    // Creates the pane's controls: its interface.
    virtual std::unique_ptr<QWidget> loadInterface() = 0;

  private:
    PaneContext context_;
    std::unique_ptr<QWidget> mainView_;
};

// The C functions a pane plug-in exports, as the host looks them up.
using PaneInterfaceVersionFunction = unsigned (*)();
using PanePrincipalClassFunction = const char* (*)();
// The factory is exported under the principal class's name. The caller owns
// the pane it returns (nullptr when it could not be made).
using PaneFactoryFunction = PreferencePane* (*)(const PaneContext*);

inline constexpr const char* kPaneInterfaceVersionSymbol = "tactPaneInterfaceVersion";
inline constexpr const char* kPanePrincipalClassSymbol = "tactPanePrincipalClass";

}  // namespace tact

#define TACT_PANE_EXPORT extern "C" __attribute__((visibility("default")))

// In exactly one source file of a pane plug-in, at global scope:
//   TACT_PREFERENCE_PANE(MultitouchPrefsPane, tact::MultitouchPrefsPane)
// exports the interface version, the principal class's name, and a factory
// of that name that makes a ClassType from the host's context.
#define TACT_PREFERENCE_PANE(PrincipalClass, ClassType)                                           \
    TACT_PANE_EXPORT unsigned tactPaneInterfaceVersion() {                                        \
        return tact::kPreferencePaneInterfaceVersion;                                             \
    }                                                                                             \
    TACT_PANE_EXPORT const char* tactPanePrincipalClass() {                                       \
        return #PrincipalClass;                                                                   \
    }                                                                                             \
    TACT_PANE_EXPORT tact::PreferencePane* PrincipalClass(const tact::PaneContext* context) {     \
        if (!context || !context->runLoop || !context->notificationCenter || !context->workspace) \
            return nullptr;                                                                       \
        /* Ownership passes to the host, which wraps it at once. */                               \
        return std::make_unique<ClassType>(*context).release();                                   \
    }
