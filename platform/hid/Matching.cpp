#include "platform/hid/Matching.hpp"

#include <algorithm>

namespace platform::hid {

namespace {

const platform::String kDeviceUsagePairs = "DeviceUsagePairs";
const platform::String kDeviceUsagePage = "DeviceUsagePage";
const platform::String kDeviceUsage = "DeviceUsage";

// A pair dictionary: its page and usage when present and integers. A key that
// is present with another type matches nothing.
bool pairMatches(const platform::Dictionary& pair, const std::vector<UsagePair>& pairs) {
    const platform::Value* page = pair.find(kDeviceUsagePage);
    const platform::Value* usage = pair.find(kDeviceUsage);
    if ((page && !page->isInteger()) || (usage && !usage->isInteger()))
        return false;
    return std::any_of(pairs.begin(), pairs.end(), [&](const UsagePair& p) {
        return (!page || *page->asInteger() == p.usagePage) &&
               (!usage || *usage->asInteger() == p.usage);
    });
}

bool sameValue(const platform::Value& wanted, const platform::Value& actual) {
    if (wanted.isNumber() && actual.isNumber())
        return *wanted.asNumber() == *actual.asNumber();
    return wanted == actual;
}

}  // namespace

bool deviceMatches(const platform::Dictionary& matching, const DeviceDescription& device) {
    for (const auto& [key, value] : matching) {
        if (key == kDeviceUsagePairs) {
            const platform::Array* array = value.asArray();
            if (!array)
                return false;
            bool any = std::any_of(array->begin(), array->end(), [&](const platform::Value& v) {
                const platform::Dictionary* pair = v.asDictionary();
                return pair && pairMatches(*pair, device.usagePairs);
            });
            if (!any)
                return false;
        } else if (key == kDeviceUsagePage || key == kDeviceUsage) {
            continue;  // taken together below
        } else {
            auto actual = deviceProperty(device, key);
            if (!actual || !sameValue(value, *actual))
                return false;
        }
    }
    if (matching.contains(kDeviceUsagePage) || matching.contains(kDeviceUsage)) {
        platform::Dictionary pair;
        if (const auto* page = matching.find(kDeviceUsagePage))
            pair.set(kDeviceUsagePage, *page);
        if (const auto* usage = matching.find(kDeviceUsage))
            pair.set(kDeviceUsage, *usage);
        if (!pairMatches(pair, device.usagePairs))
            return false;
    }
    return true;
}

std::optional<platform::Value> deviceProperty(const DeviceDescription& d,
                                              const platform::String& key) {
    auto integer = [](std::uint32_t v) { return platform::Value(static_cast<long long>(v)); };
    if (key == "VendorID")
        return integer(d.vendorID);
    if (key == "ProductID")
        return integer(d.productID);
    if (key == "MaxInputReportSize")
        return integer(d.maxInputReportSize);
    if (key == "MaxOutputReportSize")
        return integer(d.maxOutputReportSize);
    if (key == "MaxFeatureReportSize")
        return integer(d.maxFeatureReportSize);
    if (key == "PrimaryUsagePage" && !d.usagePairs.empty())
        return integer(d.usagePairs.front().usagePage);
    if (key == "PrimaryUsage" && !d.usagePairs.empty())
        return integer(d.usagePairs.front().usage);
    if (key == "Product" && !d.product.empty())
        return platform::Value(d.product);
    if (key == "Transport" && !d.transport.empty())
        return platform::Value(d.transport);
    if (key == "SerialNumber" && !d.serialNumber.empty())
        return platform::Value(d.serialNumber);
    if (key == kDeviceUsagePairs) {
        platform::Array pairs;
        for (const auto& p : d.usagePairs)
            pairs.push_back(platform::Dictionary{{kDeviceUsagePage, integer(p.usagePage)},
                                                 {kDeviceUsage, integer(p.usage)}});
        return platform::Value(std::move(pairs));
    }
    if (key == "ReportDescriptor")
        return platform::Value(platform::Data(d.reportDescriptor));
    return std::nullopt;
}

}  // namespace platform::hid
