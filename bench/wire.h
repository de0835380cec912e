// What the reference programs that speak the Linux wire format (docs/wire-format.md)
// share: a port's address and the frames' little-endian integers.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

inline void putU32(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = char(v >> (8 * i));
}

inline uint32_t getU32(const char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | uint8_t(p[i]);
    return v;
}

/// The abstract address of this user's port `name` into `addr`, and its length; 0 when
/// the name is too long to stand in the address (its digest form is not needed here).
inline socklen_t portAddress(const std::string& name, sockaddr_un& addr) {
    std::string path = "cfmessageport." + std::to_string(geteuid()) + "." + name;
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (path.size() + 1 > sizeof addr.sun_path) return 0;
    std::memcpy(addr.sun_path + 1, path.data(), path.size());
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + path.size());
}
