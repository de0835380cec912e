// The UTF-8 check that the tool and the Linux layer share: simdjson's, for this
// processor. Header-only, with internal linkage, so that neither side exports it
// and the tool needs nothing of the layer, which a macOS build does not have.
#pragma once

#include <simdjson.h>

namespace {

/// The vectorised check for this processor, chosen once. simdjson's own choice would
/// follow an environment variable, and an unknown name there fails every check.
inline const simdjson::implementation& utf8Checker() {
    static const simdjson::implementation* const best =
        simdjson::get_available_implementations().detect_best_supported();
    return *best;
}

}  // namespace
