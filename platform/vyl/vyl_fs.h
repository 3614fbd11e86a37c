// Small file-system helpers of the platform layer. Thread-safe.
#pragma once

#include <string>
#include <sys/types.h>

namespace vyl {

// Creates `dir` and all missing parents with `mode`; 0 when the folder exists afterwards,
// -1 (errno set) otherwise.
int makeDirs(const std::string& dir, mode_t mode);

// Reads the whole of `path` into `text` when it is a regular file of at most `limit` bytes. The
// open does not block, so a FIFO or a device node put in its place cannot stall the caller; it is
// refused like any other non-regular file. 0, or -1 with the reason in `why`.
int readRegularFile(const std::string& path, size_t limit, std::string& text, std::string& why);

// Replaces `path` by a file holding `text` with `mode`: written to a temporary file beside it,
// synced, then renamed over it, so that a power cut leaves the old or the new file and never a
// truncated one, and a symbolic link at `path` is replaced rather than followed. 0, or -1 with
// the reason in `why` (no temporary file is left behind).
int replaceFile(const std::string& path, const std::string& text, mode_t mode, std::string& why);

} // namespace vyl
