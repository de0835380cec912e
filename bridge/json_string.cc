#include "json_string.h"

#include <cstdio>
#include <cstring>

#include "utf8.h"

void appendJsonString(std::string& out, std::string_view text) {
    std::string repaired;
    if (!validUtf8(text)) {
        repaired.assign(text);
        repairUtf8(repaired);
        text = repaired;
    }
    out.reserve(out.size() + text.size() + 2);
    out.push_back('"');
    size_t plain = 0;  // start of the run of characters that need no escape
    for (size_t i = 0; i < text.size(); ++i) {
        // Long runs that need no escape (Base64 above all) are skipped a word at a time.
        while (i + 8 <= text.size()) {
            uint64_t w;
            std::memcpy(&w, text.data() + i, 8);
            if (escapeBytes(w)) break;
            i += 8;
        }
        if (i >= text.size()) break;
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text, plain, i - plain);
        plain = i + 1;
        switch (c) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            case '\b':
                out.append("\\b");
                break;
            case '\f':
                out.append("\\f");
                break;
            default: {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out.append(esc);
            }
        }
    }
    out.append(text, plain, text.size() - plain);
    out.push_back('"');
}
