// The floor for carrying a payload from one line tool to another: only the
// work that cannot be avoided. One process reads each line from its standard
// input, decodes the Base64 of its "data" and moves the bytes over a Unix
// socket to a second process, which encodes them again and writes one line.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "io.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> decodeTable() {
    std::array<int8_t, 256> t{};
    for (auto& v : t)
        v = -1;
    for (int i = 0; i < 64; ++i)
        t[uint8_t(kAlphabet[i])] = int8_t(i);
    return t;
}
constexpr auto kDecode = decodeTable();

bool decode(const char* s, size_t n, std::vector<uint8_t>& out) {
    if (n % 4 != 0) return false;
    size_t pad = n && s[n - 1] == '=' ? (s[n - 2] == '=' ? 2 : 1) : 0;
    out.resize(n / 4 * 3 - pad);
    uint8_t* o = out.data();
    size_t full = pad ? n - 4 : n;
    for (size_t i = 0; i < full; i += 4) {
        int a = kDecode[uint8_t(s[i])], b = kDecode[uint8_t(s[i + 1])], c = kDecode[uint8_t(s[i + 2])],
            d = kDecode[uint8_t(s[i + 3])];
        if ((a | b | c | d) < 0) return false;
        uint32_t v = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6 | uint32_t(d);
        *o++ = uint8_t(v >> 16);
        *o++ = uint8_t(v >> 8);
        *o++ = uint8_t(v);
    }
    if (pad) {
        uint32_t v = uint32_t(kDecode[uint8_t(s[n - 4])]) << 18 | uint32_t(kDecode[uint8_t(s[n - 3])]) << 12;
        if (pad == 1) v |= uint32_t(kDecode[uint8_t(s[n - 2])]) << 6;
        *o++ = uint8_t(v >> 16);
        if (pad == 1) *o++ = uint8_t(v >> 8);
    }
    return true;
}

void encode(const uint8_t* bytes, size_t size, std::string& out) {
    size_t at = out.size();
    out.resize(at + (size + 2) / 3 * 4);
    char* o = out.data() + at;
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    if (size - i >= 1) {
        uint32_t v = uint32_t(bytes[i]) << 16 | (size - i == 2 ? uint32_t(bytes[i + 1]) << 8 : 0);
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = size - i == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
}

/// The receiving side: bytes in from the socket, one line out.
void receiver(int sock) {
    std::vector<uint8_t> bytes;
    std::string line;
    for (;;) {
        uint64_t size;
        if (!readAll(sock, &size, sizeof size)) return;
        bytes.resize(size);
        if (!readAll(sock, bytes.data(), size)) return;
        line.assign("{\"event\":\"message\",\"port\":\"floor\",\"msgid\":1,\"data\":\"");
        encode(bytes.data(), bytes.size(), line);
        line.append("\"}\n");
        if (!writeAll(1, line.data(), line.size())) return;
        uint8_t ack = 0;
        if (!writeAll(sock, &ack, 1)) return;  // the empty reply
    }
}

/// The sending side: one line in from standard input, bytes out to the socket.
void sender(int sock) {
    std::string buffer;
    std::vector<char> chunk(size_t(1) << 18);
    std::vector<uint8_t> bytes;
    size_t scanned = 0;
    for (;;) {
        const char* lf = static_cast<const char*>(std::memchr(buffer.data() + scanned, '\n', buffer.size() - scanned));
        if (!lf) {
            scanned = buffer.size();
            ssize_t n = read(0, chunk.data(), chunk.size());
            if (n <= 0) return;
            buffer.append(chunk.data(), size_t(n));
            continue;
        }
        size_t end = size_t(lf - buffer.data());
        static constexpr char kKey[] = "\"data\":\"";
        size_t at = buffer.find(kKey);
        bytes.clear();
        if (at < end) {
            size_t from = at + sizeof kKey - 1;
            size_t to = buffer.find('"', from);
            if (!decode(buffer.data() + from, to - from, bytes)) bytes.clear();
        }
        uint64_t size = bytes.size();
        if (!writeAll(sock, &size, sizeof size) || !writeAll(sock, bytes.data(), bytes.size())) return;
        uint8_t ack;
        if (!readAll(sock, &ack, 1)) return;
        buffer.erase(0, end + 1);
        scanned = 0;
    }
}

}  // namespace

int main() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 1;
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        receiver(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    sender(fds[0]);
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return 0;
}
