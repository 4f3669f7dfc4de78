#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// Path, directory and process-environment helpers. The native separator is "/"; "\" is
// accepted wherever a path is taken apart, and turned into "/" where a path is made.
namespace kr {

// The last component of a path; for a path that ends in a separator, the component
// before it ("a/b/" gives "b", "b/" and "/" give "").
std::string fileNameOf(std::string_view path);

// With convert set, every "\" becomes the native "/"; otherwise the path is unchanged.
std::string toNativeSeparators(std::string_view path, bool convert);

// The path as a directory path: a "/" is appended unless it already ends in a separator,
// and "\" becomes "/". An empty path stays empty.
std::string makeDirectoryPath(std::string_view path);
std::string makeDirectoryPathFrom(std::string path);
std::string makeDirectoryPathOf(const std::string& path);

// The directories that application and project files are found under; always ".".
std::string applicationBaseDirectory(std::string_view name);
std::string projectBaseDirectory(std::string_view name);

// The process's current directory, or "." when it cannot be read.
std::string currentDirectory();

// True when path is an existing directory afterwards. With create set, a missing
// directory is created (one level only). Failures answer false, without a message.
bool ensureDirectory(const std::string& path, bool create);

// True when something exists at path; its size is stored when size is given (0 for a
// directory).
bool fileExists(const std::string& path, std::uint64_t* size = nullptr);

// Sets a variable of the process environment; an empty value removes it.
void setEnvironmentVariable(const std::string& name, const std::string& value);

// A wall-clock time as local time, "Www Mmm dd hh:mm:ss yyyy".
std::string timeStampText(std::chrono::system_clock::time_point time);

}  // namespace kr
