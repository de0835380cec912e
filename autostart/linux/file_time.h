// Linux twin of apple/file_time.h: the manifest's modification time to the
// nanosecond, as POSIX names it.
#pragma once

#include <sys/stat.h>
#include <time.h>

namespace {

/// The modification time of `info` with its nanoseconds (st_mtim). Any thread.
inline timespec modificationTime(const struct stat& info) { return info.st_mtim; }

}  // namespace
