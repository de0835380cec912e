// The manifest's modification time to the nanosecond, as macOS's stat names
// it. A header of its own folder, which the build puts on the include path on
// Apple platforms only, so that the loop needs no conditional compilation.
#pragma once

#include <sys/stat.h>
#include <time.h>

namespace {

/// The modification time of `info` with its nanoseconds: macOS names the field st_mtimespec (stat(2), where
/// st_mtime is only its seconds). Any thread.
inline timespec modificationTime(const struct stat& info) { return info.st_mtimespec; }

}  // namespace
