// Owning handles for xcb: a connection that disconnects, replies that free
// themselves, and interned atoms, shared by every part that talks to an X
// server.
#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace platform::x11 {

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using ConnectionPtr = std::unique_ptr<xcb_connection_t, Disconnect>;

struct FreeReply {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeReply>;

// The atom of name, XCB_NONE when the server does not know it (onlyIfExists)
// or does not answer.
inline xcb_atom_t internAtom(xcb_connection_t* c, std::string_view name,
                             bool onlyIfExists = false) {
    Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c,
                              xcb_intern_atom(c, onlyIfExists ? 1 : 0,
                                              static_cast<std::uint16_t>(name.size()), name.data()),
                              nullptr));
    return reply ? reply->atom : XCB_NONE;
}

}  // namespace platform::x11
