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

// Replaces the file at `path` with `bytes`: they are written to a new file in
// the same folder (same permissions as the old file), flushed to disk and
// renamed over `path`, and the folder is flushed, so that a crash or a full
// disk leaves either the old file or the new one, whole. False (the old file
// untouched, no new file left over) when any step fails; errno then holds the
// reason (ENOSPC for a write that wrote nothing).
bool ReplaceFile(const std::string& path, std::string_view bytes, const FileCalls& calls = SystemFileCalls());

enum class ReadOutcome {
    Whole,     // `bytes` holds the whole file
    Unopened,  // missing, not a regular file, or not readable; errno says which
    ReadError, // a read failed part way: `bytes` is not the file
};
ReadOutcome ReadWholeFile(const std::string& path, std::string& bytes, const FileCalls& calls = SystemFileCalls());

} // namespace quorvane
