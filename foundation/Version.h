#pragma once

#include <string_view>

// The version numbers that the programs print, serve and write into their pages.
namespace kr {

inline constexpr std::string_view kFrameworkVersion = "1.28.1";  // the server framework
inline constexpr std::string_view kFrameworkMajor = "1";
inline constexpr std::string_view kFrameworkMinor = "28.1";
inline constexpr std::string_view kApplicationVersion = "1.6.0";  // the application layer
inline constexpr std::string_view kReleaseNumber = "96";

}  // namespace kr
