#include "platform/notify/MatchRule.hpp"

namespace platform::notify_detail {
namespace {

// The longest match rule the bus daemon accepts.
constexpr std::size_t kMaxRuleLength = 1024;

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    out += '\'';
    return out;
}

}  // namespace

std::string notificationMatchRule() {
    return "type='signal',path='/com/vostrabaxworks/DistributedNotificationCenter',"
           "interface='com.vostrabaxworks.DistributedNotificationCenter',member='Notification'";
}

std::string notificationMatchRule(const String& name, const String& object) {
    if (!name.isPlainText() || !object.isPlainText())
        return {};
    std::string rule =
        notificationMatchRule() + ",arg0=" + quote(*name.utf8()) + ",arg1=" + quote(*object.utf8());
    if (rule.size() > kMaxRuleLength)
        return {};
    return rule;
}

}  // namespace platform::notify_detail
