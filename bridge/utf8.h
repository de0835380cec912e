// UTF-8 as the tool passes it on: each maximal invalid subpart of a text becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

/// Whether `text` is valid UTF-8.
bool validUtf8(std::string_view text);

/// Appends `text` to `out` with each maximal invalid UTF-8 subpart replaced by U+FFFD.
void appendRepairedUtf8(std::string& out, std::string_view text);

/// Replaces each maximal invalid UTF-8 subpart of `text` with U+FFFD; true when it changed anything.
bool repairUtf8(std::string& text);
