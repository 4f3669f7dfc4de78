#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/ByteBudget.h"
#include "platform/Fd.h"
#include "platform/SysResult.h"

// The checks a path from a request passes before it reaches the file system.
namespace kr {

// True when the path may name a file: it holds no NUL byte (the system would cut the name
// there) and no ".." segment. Both "/" and "\" separate segments.
bool isPlainRequestPath(std::string_view path);

// The one form of a request's path that the file rules see, so that no spelling of a path
// slips past them: it begins with "/", a run of "/" is one "/", and "." segments are gone
// ("//./a//b/" is "/a/b/"). No form (nothing) for a path that does not begin with "/" or
// fails isPlainRequestPath.
std::optional<std::string> requestPathForm(std::string_view path);

// True when a segment of the path begins with ".": a served directory's ".git", ".env" or
// ".ssh" are as secret below its top as at it. Both "/" and "\" separate segments.
bool hasHiddenSegment(std::string_view path);

// Where programs lie, and what names a script, below the base directory.
inline constexpr std::string_view kCgiPrefix = "cgi-bin/";
inline constexpr std::string_view kPhpSuffix = ".php";

// What a path below the base directory (a form without its leading "/") names to the rules
// of what is served, the first that holds: hidden (a segment begins with "."), a CGI
// program (under kCgiPrefix), a PHP script (a name longer than kPhpSuffix that ends in it),
// or a plain file, which is sent as it is. The one place that decides it, for the path of a
// request and for the path a file has of its own beneath the base.
enum class PathKind { plain, hidden, cgiProgram, phpScript };
PathKind pathKindOf(std::string_view relativePath);

// A file that a request may be answered from: the base directory's path joined with the
// request's relative path names a regular file; that file's resolved path (symbolic links
// followed) lies under the resolved base directory; and its own path there, however the
// request's path led to it, passes the rules for what the request's path runs
// (pathKindOf): never hidden; for a PHP script not under kCgiPrefix (the PHP program would
// print a program's text); for a plain file, plain too. A CGI program's path may lead to
// any file there that is not hidden, which is run. The relative path must be a form
// (requestPathForm) without its leading "/" and without hidden segments; any other path is
// refused here as well, whatever the caller checked. The joined path is stored; false when
// any check fails. For a file that is run, not read (CGI, PHP): a file that is read goes
// through openServableFile.
bool findServableFile(const std::string& baseDirectory, std::string_view relativePath,
                      std::string& file);

// A file a request is answered with, open: the checks were made on this open file, so the
// bytes sent from it are those of the file that passed them, whatever happens to its name
// afterwards.
struct ServableFile {
    platform::Fd fd;
    std::uint64_t size = 0;  // when it was checked: the length an answer announces
    // The file's place in the hub's connection limit, held until the file is closed.
    ByteBudget::Reservation descriptor{};
};

// Opens the file of findServableFile's checks once, without blocking (a FIFO or a device
// does not hold the request up), and makes the checks on the open file: regular, its
// resolved path under the resolved base directory, and both the request's path and the
// file's own path there plain files (pathKindOf), so that a link sends no hidden file, no
// program and no script as it is. The file, or why there is none: ENOENT when a check fails
// (a path that names no file the rules let a request have), and otherwise the error the
// system gave, so that a file that exists but could not be opened for want of descriptors
// or memory (platform::lacksResources) is told from one that is not there.
platform::SysResult<ServableFile> openServableFile(const std::string& baseDirectory,
                                                   std::string_view relativePath);

}  // namespace kr
