#include "platform/hid/Matching.hpp"

#include <gtest/gtest.h>

namespace {

using platform::Array;
using platform::Dictionary;
using platform::Value;
using platform::hid::DeviceDescription;
using platform::hid::deviceMatches;
using platform::hid::deviceProperty;

DeviceDescription touchInterface() {
    DeviceDescription d;
    d.path = "touch";
    d.vendorID = 0x23C9;
    d.productID = 0x5666;
    d.usagePairs = {{13, 4}};
    d.maxInputReportSize = 62;
    d.maxFeatureReportSize = 3;
    return d;
}

DeviceDescription debugInterface() {
    DeviceDescription d = touchInterface();
    d.path = "debug";
    d.usagePairs = {{255, 1}};
    d.maxInputReportSize = 64;
    d.maxOutputReportSize = 63;
    d.maxFeatureReportSize = 63;
    return d;
}

Dictionary pair(std::int64_t page, std::int64_t usage) {
    return Dictionary{{"DeviceUsagePage", page}, {"DeviceUsage", usage}};
}

// What the agent builds: one usage pair and the vendor, plus the feature size
// for the debug interface.
Dictionary agentDictionary(std::int64_t page, std::int64_t usage, bool debug) {
    Dictionary d{{"DeviceUsagePairs", Array{pair(page, usage)}}, {"VendorID", 9161}};
    if (debug)
        d.set("MaxFeatureReportSize", 63);
    return d;
}

TEST(HidMatching, TheAgentsTwoDictionariesSelectOneInterfaceEach) {
    const auto touch = agentDictionary(13, 4, false);
    const auto debug = agentDictionary(255, 1, true);
    EXPECT_TRUE(deviceMatches(touch, touchInterface()));
    EXPECT_FALSE(deviceMatches(touch, debugInterface()));
    EXPECT_TRUE(deviceMatches(debug, debugInterface()));
    EXPECT_FALSE(deviceMatches(debug, touchInterface()));

    auto otherVendor = touchInterface();
    otherVendor.vendorID = 0x046D;
    EXPECT_FALSE(deviceMatches(touch, otherVendor));

    auto biggerFeature = debugInterface();
    biggerFeature.maxFeatureReportSize = 64;
    EXPECT_FALSE(deviceMatches(debug, biggerFeature));
}

TEST(HidMatching, UsagePairs) {
    auto composite = touchInterface();
    composite.usagePairs = {{1, 6}, {12, 1}};
    auto with = [](Array pairs) {
        return Dictionary{{"DeviceUsagePairs", Value(std::move(pairs))}};
    };

    EXPECT_TRUE(
        deviceMatches(with({pair(9, 9), pair(12, 1)}), composite));  // any pair, any collection
    EXPECT_FALSE(deviceMatches(with({pair(12, 2)}), composite));
    // A page without a usage takes every usage of the page.
    EXPECT_TRUE(deviceMatches(with({Dictionary{{"DeviceUsagePage", 12}}}), composite));
    EXPECT_FALSE(deviceMatches(with({Dictionary{{"DeviceUsagePage", 13}}}), composite));
    // An empty pair matches everything; an empty array nothing.
    EXPECT_TRUE(deviceMatches(with({Dictionary{}}), composite));
    EXPECT_FALSE(deviceMatches(with({}), composite));
    // Entries of the wrong type match nothing.
    EXPECT_FALSE(deviceMatches(with({Value("12:1")}), composite));
    EXPECT_FALSE(deviceMatches(with({Dictionary{{"DeviceUsagePage", "12"}}}), composite));
    EXPECT_FALSE(deviceMatches(Dictionary{{"DeviceUsagePairs", pair(12, 1)}}, composite));

    // The pair keys at the top level act as one pair.
    EXPECT_TRUE(deviceMatches(Dictionary{{"DeviceUsagePage", 1}}, composite));
    EXPECT_TRUE(deviceMatches(pair(1, 6), composite));
    EXPECT_FALSE(deviceMatches(pair(1, 1), composite));
    // A device without collections matches no pair.
    auto bare = touchInterface();
    bare.usagePairs.clear();
    EXPECT_FALSE(deviceMatches(with({Dictionary{}}), bare));
}

TEST(HidMatching, PropertyKeys) {
    EXPECT_TRUE(deviceMatches(Dictionary{}, touchInterface()));  // empty: everything
    EXPECT_TRUE(deviceMatches(Dictionary{{"ProductID", 0x5666}}, touchInterface()));
    EXPECT_TRUE(deviceMatches(Dictionary{{"VendorID", 9161.0}}, touchInterface()));  // by value
    EXPECT_FALSE(deviceMatches(Dictionary{{"VendorID", "9161"}}, touchInterface()));
    EXPECT_FALSE(deviceMatches(Dictionary{{"LocationID", 1}}, touchInterface()));  // unknown key
    EXPECT_FALSE(deviceMatches(Dictionary{{"Product", "x"}}, touchInterface()));   // absent name
}

TEST(HidMatching, Properties) {
    auto d = debugInterface();
    d.product = "Frame";
    d.transport = "USB";
    d.reportDescriptor = {1, 2, 3};
    EXPECT_EQ(deviceProperty(d, "VendorID"), Value(9161));
    EXPECT_EQ(deviceProperty(d, "ProductID"), Value(0x5666));
    EXPECT_EQ(deviceProperty(d, "MaxInputReportSize"), Value(64));
    EXPECT_EQ(deviceProperty(d, "MaxOutputReportSize"), Value(63));
    EXPECT_EQ(deviceProperty(d, "MaxFeatureReportSize"), Value(63));
    EXPECT_EQ(deviceProperty(d, "PrimaryUsagePage"), Value(255));
    EXPECT_EQ(deviceProperty(d, "PrimaryUsage"), Value(1));
    EXPECT_EQ(deviceProperty(d, "Product"), Value("Frame"));
    EXPECT_EQ(deviceProperty(d, "Transport"), Value("USB"));
    EXPECT_EQ(deviceProperty(d, "DeviceUsagePairs"), Value(Array{pair(255, 1)}));
    EXPECT_EQ(deviceProperty(d, "ReportDescriptor"), Value(platform::Data{1, 2, 3}));
    EXPECT_FALSE(deviceProperty(d, "SerialNumber"));  // unknown
    EXPECT_FALSE(deviceProperty(d, "LocationID"));
}

}  // namespace
