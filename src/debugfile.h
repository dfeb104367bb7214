#pragma once

#include <cstdio>
#include <string>

namespace utils {

// Opens a debug file for writing, created (mode 0644) or truncated, for a daemon that runs as
// root and keeps its debug files in world-writable directories. Neither the file nor its
// directory may be a symbolic link, and only a regular file with a single link is truncated, so
// that nothing planted there by another user makes us overwrite a file elsewhere. Returns the
// stream, or null with errno set (ELOOP or ENOTDIR for a symbolic link, EPERM for a special
// file or a file with other links, otherwise the error of the failing call).
FILE* open_debug_file(const std::string& path);

}  // namespace utils
