#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The checks a path from a request passes before it reaches the file system.
namespace kr {

// True when the path may name a file: it holds no NUL byte (the system would cut the name
// there) and no ".." segment. Both "/" and "\" separate segments.
bool isPlainRequestPath(std::string_view path);

// A file that a request may be answered from: the base directory's path joined with the
// request's relative path, which passed isPlainRequestPath, names a regular file, and that
// file's resolved path (symbolic links followed) lies under the resolved base directory.
// The joined path and the file's size are stored; false when any check fails.
bool findServableFile(const std::string& baseDirectory, std::string_view relativePath,
                      std::string& file, std::uint64_t& size);

}  // namespace kr
