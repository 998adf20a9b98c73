// The bus codec reading Notification signals. sd-bus has no public way to
// make a message from raw bytes, so the fuzzed bytes choose what goes into a
// signal built with the append calls: the body's types (any D-Bus type tree:
// every basic type, arrays, dictionaries with any key type, structures,
// variants in variants) and their contents. The codec must read it or refuse
// it with a reason, never crash.
//
// First byte, bit 0 set: the rest is a user-information dictionary (see
// FuzzInput.hpp) that goes through appendNotification and must read back the
// same. Otherwise: bit 1 set, the body is a random type tree instead of
// "ssa{sv}"; then types and contents, each chosen by the next bytes.
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/notify/BusCodec.hpp"
#include "platform/notify/SdBusHandles.hpp"

using tact::fuzz::Reader;

namespace {

using Message = platform::sdbus::MessagePtr;

// A bus connection in its opening state on one end of a socket pair: enough
// for sd-bus to make messages, nothing is ever sent.
struct Bus {
    Bus() {
        platform::setSystemLogLevel(platform::LogLevel::Error);
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0)
            std::abort();
        peer = fds[1];
        sd_bus* b = nullptr;
        if (sd_bus_new(&b) < 0 || sd_bus_set_fd(b, fds[0], fds[0]) < 0 || sd_bus_start(b) < 0)
            std::abort();
        bus.reset(b);
    }
    ~Bus() { close(peer); }
    platform::sdbus::BusPtr bus;
    int peer = -1;
};

Message newSignal(Bus& b) {
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_signal(b.bus.get(), &m, platform::buscodec::kPath,
                                  platform::buscodec::kInterface,
                                  platform::buscodec::kMember) < 0) {
        std::abort();
    }
    return Message(m);
}

// A D-Bus type: a basic code, 'a' (child 0), '{' (key, value), '(' (members)
// or 'v'.
struct Type {
    char code = 'v';
    std::vector<Type> children;
    std::string signature() const {
        switch (code) {
            case 'a':
                return "a" + children[0].signature();
            case '{':
                return "{" + children[0].signature() + children[1].signature() + "}";
            case '(': {
                std::string s = "(";
                for (const auto& c : children)
                    s += c.signature();
                return s + ")";
            }
            default:
                return std::string(1, code);
        }
    }
};

constexpr char kBasic[] = "ybnqiuxtdsog";

Type basicType(Reader& in) {
    return Type{kBasic[in.u8() % (sizeof kBasic - 1)], {}};
}

Type randomType(Reader& in, int depth) {
    const std::uint8_t c = in.u8() % 17;
    if (depth > 30 || c < 12)
        return c < 12 ? Type{kBasic[c], {}} : Type{'v', {}};
    switch (c) {
        case 12:
        case 13:
            return Type{'a', {randomType(in, depth + 1)}};
        case 14:  // a dictionary, string keys or not
            return Type{'a', {Type{'{', {basicType(in), randomType(in, depth + 1)}}}};
        case 15: {
            Type t{'(', {}};
            for (int n = 1 + in.u8() % 3; n > 0; --n)
                t.children.push_back(randomType(in, depth + 1));
            return t;
        }
        default:
            return Type{'v', {}};
    }
}

int appendValue(sd_bus_message* m, const Type& t, Reader& in, int depth);

int appendBasic(sd_bus_message* m, char code, Reader& in) {
    switch (code) {
        case 'y': {
            std::uint8_t v = in.u8();
            return sd_bus_message_append_basic(m, code, &v);
        }
        case 'b': {
            int v = in.u8() & 1;
            return sd_bus_message_append_basic(m, code, &v);
        }
        case 'n':
        case 'q': {
            std::uint16_t v = in.u16();
            return sd_bus_message_append_basic(m, code, &v);
        }
        case 'i':
        case 'u': {
            std::uint32_t v = static_cast<std::uint32_t>(in.u64());
            return sd_bus_message_append_basic(m, code, &v);
        }
        case 'x':
        case 't':
        case 'd': {
            std::uint64_t v = in.u64();
            return sd_bus_message_append_basic(m, code, &v);
        }
        case 's': {
            // Text: printable ASCII, a known key, or bytes sd-bus may refuse.
            auto bytes = in.bytes(in.u8() % 40);
            std::string s(bytes.begin(), bytes.end());
            if (!s.empty() && (s[0] & 1) == 0) {
                for (char& ch : s)
                    ch = static_cast<char>(' ' + static_cast<unsigned char>(ch) % 95);
            }
            if (!s.empty() && s[0] == '#')
                s = tact::fuzz::knownKeys()[static_cast<unsigned char>(s.back()) %
                                            tact::fuzz::knownKeys().size()];
            return sd_bus_message_append_basic(m, code, s.c_str());
        }
        case 'o': {
            static const char* paths[] = {"/", "/a", "/com/b/c", "/x_1/y"};
            return sd_bus_message_append_basic(m, code, paths[in.u8() % 4]);
        }
        case 'g': {
            static const char* sigs[] = {"", "s", "a{sv}", "ssa{sv}", "(iv)"};
            return sd_bus_message_append_basic(m, code, sigs[in.u8() % 5]);
        }
        default:
            return -EINVAL;
    }
}

int appendValue(sd_bus_message* m, const Type& t, Reader& in, int depth) {
    int r = 0;
    switch (t.code) {
        case 'a': {
            const std::string inner = t.children[0].signature();
            if ((r = sd_bus_message_open_container(m, 'a', inner.c_str())) < 0)
                return r;
            for (int n = in.u8() % 5; n > 0 && !in.atEnd(); --n) {
                if ((r = appendValue(m, t.children[0], in, depth + 1)) < 0)
                    return r;
            }
            return sd_bus_message_close_container(m);
        }
        case '{':
        case '(': {
            std::string inner;
            for (const auto& c : t.children)
                inner += c.signature();
            if ((r = sd_bus_message_open_container(m, t.code == '{' ? 'e' : 'r', inner.c_str())) <
                0) {
                return r;
            }
            for (const auto& c : t.children) {
                if ((r = appendValue(m, c, in, depth + 1)) < 0)
                    return r;
            }
            return sd_bus_message_close_container(m);
        }
        case 'v': {
            // Mostly one more variant or a string-keyed dictionary of
            // variants, the shapes a notification really has.
            const std::uint8_t pick = in.u8();
            Type inner = pick < 40    ? Type{'v', {}}
                         : pick < 100 ? Type{'a', {Type{'{', {Type{'s', {}}, Type{'v', {}}}}}}
                         : pick < 120 ? Type{'a', {Type{'v', {}}}}
                                      : randomType(in, depth);
            if (depth > 200)
                inner = Type{'y', {}};
            const std::string sig = inner.signature();
            if ((r = sd_bus_message_open_container(m, 'v', sig.c_str())) < 0)
                return r;
            if ((r = appendValue(m, inner, in, depth + 1)) < 0)
                return r;
            return sd_bus_message_close_container(m);
        }
        default:
            return appendBasic(m, t.code, in);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Bus bus;
    Reader in({data, size});
    Message m = newSignal(bus);
    const std::uint8_t mode = in.u8();

    if (mode & 1) {
        const platform::Dictionary info = tact::fuzz::decodeDictionary(in, 1);
        if (!platform::buscodec::appendNotification(m.get(), "n", "o", info))
            return 0;  // refused on the way out: fine
        if (sd_bus_message_seal(m.get(), 1, 0) < 0)
            return 0;  // too big for a message
        auto back = platform::buscodec::readNotification(m.get());
        if (!back) {
            platform::systemLog(platform::LogLevel::Error,
                                "written but not read: " + back.error().detail);
            __builtin_trap();
        }
        const platform::Dictionary empty;
        if (!tact::fuzz::sameValue(info, back->userInfo ? *back->userInfo : empty))
            __builtin_trap();  // what went out must come back
        return 0;
    }

    std::vector<Type> body;
    if (mode & 2) {
        for (int n = in.u8() % 4; n > 0; --n)
            body.push_back(randomType(in, 0));
    } else {
        body = {Type{'s', {}}, Type{'s', {}},
                Type{'a', {Type{'{', {Type{'s', {}}, Type{'v', {}}}}}}};
    }
    for (const auto& t : body) {
        if (appendValue(m.get(), t, in, 0) < 0)
            return 0;  // sd-bus refused the content: nothing to read
    }
    if (sd_bus_message_seal(m.get(), 1, 0) < 0)
        return 0;
    auto n = platform::buscodec::readNotification(m.get());
    if (!n && n.error().detail.empty())
        __builtin_trap();  // a refusal always says why
    return 0;
}
