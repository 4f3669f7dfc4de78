#pragma once

#include <string_view>
#include <vector>

#include "platform/XDisplay.h"

namespace kr {

// The images of an icon file (.ico) as a window takes them, in the file's order: each
// uncompressed 32-bit image with its own alpha channel, turned right way up. Images of
// other depths, PNG-compressed ones and entries that do not lie inside the file are left
// out; bytes that are no icon file give no image.
std::vector<platform::XArgbImage> decodeIconFile(std::string_view file);

}  // namespace kr
