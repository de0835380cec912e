// Standard output, the one place where the tool writes: whole lines only, and an
// end as soon as nobody reads them.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <string_view>

/// Where the tool writes: standard output.
extern int output;

/// Writes one whole line given in parts, in one call when the pipe takes it; false only when
/// the reader has gone. Any other failure loses the line, as nothing could report it.
bool writeParts(iovec* parts, size_t count);

/// Writes one event already serialised, with its line feed, in a single write.
void emitLine(std::string_view line);

/// Ends the process as soon as standard output's reader goes away, even when no event is due.
void watchOutput();
