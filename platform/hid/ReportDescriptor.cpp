#include "platform/hid/ReportDescriptor.hpp"

#include <algorithm>
#include <array>
#include <map>

namespace platform::hid {

namespace {

// Item types and tags of the short item format.
constexpr unsigned kTypeMain = 0;
constexpr unsigned kTypeGlobal = 1;
constexpr unsigned kTypeLocal = 2;

constexpr unsigned kMainInput = 0x8;
constexpr unsigned kMainOutput = 0x9;
constexpr unsigned kMainCollection = 0xA;
constexpr unsigned kMainFeature = 0xB;
constexpr unsigned kMainEndCollection = 0xC;

constexpr unsigned kGlobalUsagePage = 0x0;
constexpr unsigned kGlobalReportSize = 0x7;
constexpr unsigned kGlobalReportID = 0x8;
constexpr unsigned kGlobalReportCount = 0x9;
constexpr unsigned kGlobalPush = 0xA;
constexpr unsigned kGlobalPop = 0xB;

constexpr unsigned kLocalUsage = 0x0;
constexpr unsigned kLocalUsageMinimum = 0x1;

constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr std::uint32_t kCollectionApplication = 0x01;

// Limits against hostile descriptors.
constexpr std::size_t kMaxGlobalStack = 16;
constexpr int kMaxCollectionDepth = 64;
constexpr std::uint32_t kMaxReportSizeBits = 256;
constexpr std::uint32_t kMaxReportCount = 65535;
constexpr std::uint64_t kMaxReportBytes = 16384;

struct Globals {
    std::uint32_t usagePage = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint32_t reportID = 0;
};

struct ReportBits {
    std::uint64_t input = 0;
    std::uint64_t output = 0;
    std::uint64_t feature = 0;
};

std::string at(std::size_t offset, const std::string& what) {
    return what + " at offset " + std::to_string(offset);
}

std::uint32_t bytesOf(std::uint64_t bits, bool numbered) {
    if (bits == 0)
        return 0;
    return static_cast<std::uint32_t>((bits + 7) / 8 + (numbered ? 1 : 0));
}

}  // namespace

const ReportSizes* ReportDescriptorInfo::report(std::uint32_t reportID) const {
    for (const auto& r : reports)
        if (r.reportID == reportID)
            return &r;
    return nullptr;
}

Result<ReportDescriptorInfo> parseReportDescriptor(std::span<const std::uint8_t> d) {
    auto fail = [](std::string reason) { return Error{Reason::Malformed, std::move(reason)}; };

    ReportDescriptorInfo info;
    Globals globals;
    std::vector<Globals> stack;
    std::map<std::uint32_t, ReportBits> bits;

    // Local state: only the first usage matters (it names a collection).
    std::optional<UsagePair> firstUsage;
    int depth = 0;

    std::size_t pos = 0;
    while (pos < d.size()) {
        const std::size_t itemStart = pos;
        const std::uint8_t prefix = d[pos++];

        if (prefix == kLongItemPrefix) {
            if (d.size() - pos < 2)
                return fail(at(itemStart, "truncated long item"));
            const std::size_t dataSize = d[pos];
            pos += 2;
            if (d.size() - pos < dataSize)
                return fail(at(itemStart, "truncated long item"));
            pos += dataSize;
            continue;
        }

        const std::size_t size = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
        const unsigned type = (prefix >> 2) & 0x3;
        const unsigned tag = prefix >> 4;
        if (d.size() - pos < size)
            return fail(at(itemStart, "truncated item"));
        std::uint32_t data = 0;
        for (std::size_t i = 0; i < size; ++i)
            data |= std::uint32_t{d[pos + i]} << (8 * i);
        pos += size;

        if (type == kTypeMain) {
            switch (tag) {
                case kMainInput:
                case kMainOutput:
                case kMainFeature: {
                    if (globals.reportSize > kMaxReportSizeBits)
                        return fail(at(itemStart, "report size above 256 bits"));
                    if (globals.reportCount > kMaxReportCount)
                        return fail(at(itemStart, "report count above 65535"));
                    const std::uint64_t fieldBits =
                        std::uint64_t{globals.reportSize} * globals.reportCount;
                    ReportBits& r = bits[globals.reportID];
                    std::uint64_t& total = tag == kMainInput    ? r.input
                                           : tag == kMainOutput ? r.output
                                                                : r.feature;
                    total += fieldBits;
                    if (total > kMaxReportBytes * 8)
                        return fail(at(itemStart, "report longer than 16384 bytes"));
                    break;
                }
                case kMainCollection:
                    if (depth >= kMaxCollectionDepth)
                        return fail(at(itemStart, "collections nested too deeply"));
                    if (depth == 0 && (data & 0xFF) == kCollectionApplication) {
                        UsagePair pair{globals.usagePage, 0};
                        if (firstUsage)
                            pair = *firstUsage;
                        info.applicationCollections.push_back(pair);
                    }
                    ++depth;
                    break;
                case kMainEndCollection:
                    if (depth == 0)
                        return fail(at(itemStart, "end of a collection that was never opened"));
                    --depth;
                    break;
                default:
                    break;  // reserved main item: nothing to size
            }
            firstUsage.reset();  // every main item ends the local state
        } else if (type == kTypeGlobal) {
            switch (tag) {
                case kGlobalUsagePage:
                    globals.usagePage = data;
                    break;
                case kGlobalReportSize:
                    globals.reportSize = data;
                    break;
                case kGlobalReportCount:
                    globals.reportCount = data;
                    break;
                case kGlobalReportID:
                    if (data == 0 || data > 255)
                        return fail(
                            at(itemStart, "report ID " + std::to_string(data) + " outside 1..255"));
                    globals.reportID = data;
                    info.usesReportIDs = true;
                    break;
                case kGlobalPush:
                    if (stack.size() >= kMaxGlobalStack)
                        return fail(at(itemStart, "push beyond the global stack"));
                    stack.push_back(globals);
                    break;
                case kGlobalPop:
                    if (stack.empty())
                        return fail(at(itemStart, "pop from an empty global stack"));
                    globals = stack.back();
                    stack.pop_back();
                    break;
                default:
                    break;  // logical/physical ranges, units: not needed
            }
        } else if (type == kTypeLocal) {
            if ((tag == kLocalUsage || tag == kLocalUsageMinimum) && !firstUsage) {
                // A four-byte usage carries its own page in the high half.
                if (size == 4)
                    firstUsage = UsagePair{data >> 16, data & 0xFFFF};
                else
                    firstUsage = UsagePair{globals.usagePage, data};
            }
        }
        // Reserved item type 3 (other than the long item prefix): skipped.
    }

    if (depth != 0)
        return fail("descriptor ends inside " + std::to_string(depth) + " open collection(s)");

    for (const auto& [id, b] : bits) {
        ReportSizes s;
        s.reportID = id;
        s.inputBytes = bytesOf(b.input, info.usesReportIDs);
        s.outputBytes = bytesOf(b.output, info.usesReportIDs);
        s.featureBytes = bytesOf(b.feature, info.usesReportIDs);
        if (s.inputBytes == 0 && s.outputBytes == 0 && s.featureBytes == 0)
            continue;
        info.maxInputReportSize = std::max(info.maxInputReportSize, s.inputBytes);
        info.maxOutputReportSize = std::max(info.maxOutputReportSize, s.outputBytes);
        info.maxFeatureReportSize = std::max(info.maxFeatureReportSize, s.featureBytes);
        info.reports.push_back(s);
    }
    return info;
}

}  // namespace platform::hid
