#include "prefpane/host/PreferencePane.hpp"

#include <QWidget>

namespace tact {

PreferencePane::PreferencePane(const PaneContext& context) : context_(context) {}

PreferencePane::~PreferencePane() = default;

QWidget* PreferencePane::loadMainView() {
    if (!mainView_) {
        mainView_ = loadInterface();
        if (!mainView_)
            return nullptr;
        mainViewDidLoad();
    }
    return mainView_.get();
}

}  // namespace tact
