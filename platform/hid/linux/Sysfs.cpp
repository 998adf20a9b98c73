// Reading hidraw nodes and their hid devices from sysfs. Plain files only, so
// a test can lay out a sysfs tree of its own.
#include "platform/hid/HID.hpp"
#include "platform/hid/ReportDescriptor.hpp"
#include "platform/hid/linux/LinuxBackend.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace platform::hid::linux_hid {

namespace fs = std::filesystem;

namespace {

// Files in sysfs are small; anything above this is not what we look for.
constexpr std::size_t kMaxSysfsFile = 65536;

std::optional<std::string> readSmallFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string content;
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        content.append(chunk, static_cast<std::size_t>(in.gcount()));
        if (content.size() > kMaxSysfsFile)
            return std::nullopt;
    }
    return content;
}

bool parseHex(const std::string& text, std::uint32_t* value) {
    if (text.empty() || text.size() > 8)
        return false;
    std::uint32_t v = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        v = v * 16 + static_cast<std::uint32_t>(digit);
    }
    *value = v;
    return true;
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

}  // namespace

std::map<std::string, std::string> readUevent(const std::string& path) {
    std::map<std::string, std::string> values;
    auto content = readSmallFile(path);
    if (!content)
        return values;
    std::size_t pos = 0;
    while (pos < content->size()) {
        std::size_t end = content->find('\n', pos);
        if (end == std::string::npos)
            end = content->size();
        std::string line = content->substr(pos, end - pos);
        pos = end + 1;
        auto eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

std::optional<HidID> parseHidID(const std::string& value) {
    const auto first = value.find(':');
    if (first == std::string::npos)
        return std::nullopt;
    const auto second = value.find(':', first + 1);
    if (second == std::string::npos)
        return std::nullopt;
    HidID id;
    if (!parseHex(value.substr(0, first), &id.bus) ||
        !parseHex(value.substr(first + 1, second - first - 1), &id.vendor) ||
        !parseHex(value.substr(second + 1), &id.product))
        return std::nullopt;
    return id;
}

std::string transportName(std::uint32_t bus) {
    switch (bus) {
        case 0x03:
            return "USB";
        case 0x05:
            return "Bluetooth";
        case 0x06:
            return "Virtual";
        case 0x18:
            return "I2C";
        case 0x1C:
            return "SPI";
        default:
            return {};
    }
}

IOReturn ioReturnFromErrno(int error) {
    switch (error) {
        case 0:
            return kIOReturnSuccess;
        case EACCES:
        case EPERM:
            return kIOReturnNotPermitted;
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ESHUTDOWN:
            return kIOReturnNoDevice;
        case EBUSY:
            return kIOReturnExclusiveAccess;
        case EINVAL:
            return kIOReturnBadArgument;
        case ENOTTY:
        case ENOSYS:
        case EOPNOTSUPP:
        case EPIPE:
            return kIOReturnUnsupported;
        default:
            return kIOReturnError;
    }
}

Result<HidrawNode> describeHidraw(const std::string& hidrawSyspath, const std::string& devRoot) {
    auto fail = [](std::string why) { return Error{Reason::Unsupported, std::move(why)}; };
    const fs::path sys(hidrawSyspath);
    std::error_code ec;
    const fs::path hid = fs::canonical(sys / "device", ec);
    if (ec)
        return fail("no parent hid device (" + ec.message() + ")");

    auto rawUevent = readUevent(sys / "uevent");
    std::string devname =
        rawUevent.count("DEVNAME") ? rawUevent["DEVNAME"] : sys.filename().string();
    if (devname.empty() || devname.find("..") != std::string::npos)
        return fail("unusable device name \"" + devname + "\"");

    auto hidUevent = readUevent(hid / "uevent");
    auto id = hidUevent.count("HID_ID") ? parseHidID(hidUevent["HID_ID"]) : std::nullopt;
    if (!id)
        return fail("no HID_ID in " + (hid / "uevent").string());

    auto descriptor = readSmallFile(hid / "report_descriptor");
    if (!descriptor)
        return fail("cannot read " + (hid / "report_descriptor").string());
    const std::vector<std::uint8_t> bytes(descriptor->begin(), descriptor->end());
    auto info = parseReportDescriptor(bytes);
    if (!info)
        return fail("report descriptor rejected: " + info.error().detail);

    HidrawNode node;
    DeviceDescription& d = node.description;
    d.path = hidrawSyspath;
    d.vendorID = id->vendor;
    d.productID = id->product;
    d.product = hidUevent["HID_NAME"];
    d.serialNumber = hidUevent["HID_UNIQ"];
    d.transport = transportName(id->bus);
    d.usagePairs = info->applicationCollections;
    d.usesReportIDs = info->usesReportIDs;
    d.maxInputReportSize = info->maxInputReportSize;
    d.maxOutputReportSize = info->maxOutputReportSize;
    d.maxFeatureReportSize = info->maxFeatureReportSize;
    d.reportDescriptor = bytes;
    node.devnode = devRoot + "/" + devname;
    node.hidSyspath = hid.string();
    return node;
}

std::vector<std::string> scanHidraw(const std::string& sysfsRoot) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(sysfsRoot) / "class" / "hidraw", ec), end;
         !ec && it != end; it.increment(ec)) {
        std::error_code cec;
        fs::path real = fs::canonical(it->path(), cec);
        out.push_back(cec ? it->path().string() : real.string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> evdevNodesOf(const std::string& hidSyspath, const std::string& devRoot) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator inputs(fs::path(hidSyspath) / "input", ec), end;
         !ec && inputs != end; inputs.increment(ec)) {
        if (!startsWith(inputs->path().filename().string(), "input"))
            continue;
        std::error_code iec;
        for (fs::directory_iterator events(inputs->path(), iec), eend; !iec && events != eend;
             events.increment(iec)) {
            const std::string name = events->path().filename().string();
            if (!startsWith(name, "event"))
                continue;
            auto uevent = readUevent(events->path() / "uevent");
            std::string devname = uevent.count("DEVNAME") ? uevent["DEVNAME"] : "input/" + name;
            if (devname.find("..") != std::string::npos)
                continue;
            out.push_back(devRoot + "/" + devname);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace platform::hid::linux_hid
