// Whole-file reads and replacements of the program's own files (the
// configuration file, velmarc.cfg). The system calls go through a table that
// tests replace to play a full disk or a failing disk.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvane {

struct FileCalls {
    ssize_t (*write)(int fd, const void* data, size_t size);
    ssize_t (*read)(int fd, void* data, size_t size);
    int (*fsync)(int fd);
};
// The real calls.
FileCalls SystemFileCalls();

// Replaces the file at `path` with `bytes`: they are written to a new file
// with a name of its own in the same folder (created exclusively, never
// through a link planted there), flushed to disk and renamed over the file,
// and the folder is flushed, so that a crash or a full disk leaves either the
// old file or the new one, whole, and two saves at once leave one of them,
// never a mix. A `path` that is a symbolic link is replaced where it points
// (the link stays). The new file keeps the permissions of the one it
// replaces; a first one gets 0666 less the umask. False (the old file
// untouched, no new file left over) when any step fails; errno then holds
// the reason (ENOSPC for a write that wrote nothing).
bool ReplaceFile(const std::string& path, std::string_view bytes, const FileCalls& calls = SystemFileCalls());

enum class ReadOutcome {
    Whole,     // `bytes` holds the whole file
    Unopened,  // missing, not a regular file, or not readable; errno says which
    ReadError, // a read failed part way: `bytes` is not the file
};
ReadOutcome ReadWholeFile(const std::string& path, std::string& bytes, const FileCalls& calls = SystemFileCalls());

} // namespace quorvane
