// Base64 as the protocol carries message data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// Standard Base64 with padding and no line breaks.
std::string base64Encode(const uint8_t* bytes, size_t size);

/// Strict standard Base64: alphabet and the right padding only. False leaves `out` empty.
bool base64Decode(std::string_view text, std::vector<uint8_t>& out);
