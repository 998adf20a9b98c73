// A small HID report descriptor parser: what a HID manager needs to know about
// an interface without talking to it.
//
//  - the (usage page, usage) pair of every top-level application collection,
//    in descriptor order;
//  - whether the interface numbers its reports (any Report ID item);
//  - per report ID, the size in bytes of its input, output and feature report
//    as it travels: the fields' bits summed and rounded up to whole bytes, plus
//    one byte for the report ID when the interface numbers its reports.
//
// The parser never reads past the buffer and takes descriptors from devices as
// untrusted: truncated items, unbalanced collections, stack overflows, report
// IDs of 0 or above 255, field sizes above 256 bits, counts above 65535 and
// reports above 16384 bytes (the largest report the kernel hands over) make it
// fail with a reason. Long items, reserved item types and unknown tags are
// skipped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/values/Error.hpp"

namespace platform::hid {

struct UsagePair {
    std::uint32_t usagePage = 0;
    std::uint32_t usage = 0;
    friend bool operator==(const UsagePair&, const UsagePair&) = default;
};

// Sizes in bytes of one report ID's reports; 0 when the interface has no such
// report of that type.
struct ReportSizes {
    std::uint32_t reportID = 0;
    std::uint32_t inputBytes = 0;
    std::uint32_t outputBytes = 0;
    std::uint32_t featureBytes = 0;
    friend bool operator==(const ReportSizes&, const ReportSizes&) = default;
};

struct ReportDescriptorInfo {
    std::vector<UsagePair> applicationCollections;
    bool usesReportIDs = false;
    std::vector<ReportSizes> reports;  // ascending report ID; only IDs that occur
    std::uint32_t maxInputReportSize = 0;
    std::uint32_t maxOutputReportSize = 0;
    std::uint32_t maxFeatureReportSize = 0;

    // The sizes of one report ID, if it occurs.
    const ReportSizes* report(std::uint32_t reportID) const;
};

// Parses a report descriptor; an error with a short reason naming the byte
// offset when it is malformed.
Result<ReportDescriptorInfo> parseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace platform::hid
