#include "base64.h"

#include <array>

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

}  // namespace

std::string base64Encode(const uint8_t* bytes, size_t size) {
    std::string out;
    out.resize((size + 2) / 3 * 4);
    char* o = out.data();
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    if (size - i == 1) {
        uint32_t v = uint32_t(bytes[i]) << 16;
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    } else if (size - i == 2) {
        uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8;
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = '=';
    }
    return out;
}

bool base64Decode(std::string_view text, std::vector<uint8_t>& out) {
    out.clear();
    size_t n = text.size();
    if (n % 4 != 0) return false;
    if (n == 0) return true;
    size_t pad = text[n - 1] == '=' ? (text[n - 2] == '=' ? 2 : 1) : 0;
    out.resize(n / 4 * 3 - pad);
    uint8_t* o = out.data();
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t full = pad ? n - 4 : n;
    for (size_t i = 0; i < full; i += 4) {
        int a = kDecode[s[i]], b = kDecode[s[i + 1]], c = kDecode[s[i + 2]], d = kDecode[s[i + 3]];
        if ((a | b | c | d) < 0) {
            out.clear();
            return false;
        }
        uint32_t v = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6 | uint32_t(d);
        *o++ = uint8_t(v >> 16);
        *o++ = uint8_t(v >> 8);
        *o++ = uint8_t(v);
    }
    if (pad) {
        int a = kDecode[s[n - 4]], b = kDecode[s[n - 3]];
        int c = pad == 1 ? kDecode[s[n - 2]] : 0;
        if ((a | b | c) < 0) {
            out.clear();
            return false;
        }
        uint32_t v = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6;
        *o++ = uint8_t(v >> 16);
        if (pad == 1) *o++ = uint8_t(v >> 8);
    }
    return true;
}
