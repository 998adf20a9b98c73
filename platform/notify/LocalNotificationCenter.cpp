// The in-process centre. A post picks the observers that match at that moment
// and delivers to them from the run loop, in posting order; an observer that
// is removed before its delivery runs is not called. Like the bus centre, an
// empty user information dictionary is delivered as none.
#include <cstdint>
#include <map>
#include <vector>

#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"

namespace platform {
namespace {

struct LocalObserver {
    String name;
    String object;
    NotificationCenter::Callback callback;
    bool active = true;
};

struct LocalState {
    std::map<std::uint64_t, std::shared_ptr<LocalObserver>> observers;
    std::uint64_t nextId = 1;
};

class LocalNotificationCenter final : public NotificationCenter {
  public:
    explicit LocalNotificationCenter(RunLoop& loop)
        : loop_(loop), state_(std::make_shared<LocalState>()) {}

    ~LocalNotificationCenter() override {
        for (auto& [id, observer] : state_->observers)
            observer->active = false;
    }

    bool post(const String& name, const String& object,
              const std::optional<Dictionary>& userInfo) override {
        std::vector<std::shared_ptr<LocalObserver>> targets;
        for (const auto& [id, observer] : state_->observers) {
            if (observer->name == name && observer->object == object) {
                targets.push_back(observer);
            }
        }
        if (targets.empty())
            return true;
        Notification n{name, object, userInfo};
        if (n.userInfo && n.userInfo->empty())
            n.userInfo.reset();
        loop_.post([targets = std::move(targets), n = std::move(n)] {
            for (const auto& observer : targets) {
                // Checked per observer: an earlier callback may remove a later one.
                if (observer->active)
                    observer->callback(n);
            }
        });
        return true;
    }

    Observation addObserver(const String& name, const String& object, Callback callback) override {
        auto observer =
            std::make_shared<LocalObserver>(LocalObserver{name, object, std::move(callback), true});
        const std::uint64_t id = state_->nextId++;
        state_->observers.emplace(id, observer);
        std::weak_ptr<LocalState> weakState = state_;
        std::weak_ptr<LocalObserver> weakObserver = observer;
        return Observation([weakState, weakObserver, id] {
            if (auto o = weakObserver.lock())
                o->active = false;
            // Erasing may drop the last owner of the callback; a delivery in
            // progress holds its own reference, so this is safe from inside it.
            if (auto s = weakState.lock())
                s->observers.erase(id);
        });
    }

  private:
    RunLoop& loop_;
    std::shared_ptr<LocalState> state_;
};

}  // namespace

std::unique_ptr<NotificationCenter> makeLocalNotificationCenter(RunLoop& loop) {
    return std::make_unique<LocalNotificationCenter>(loop);
}

}  // namespace platform
