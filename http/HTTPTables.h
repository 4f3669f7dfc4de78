#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>

// The process-wide lookup tables of the message family: method names, status reasons and
// scheme names, and the server's name as it stands in every head it writes.
namespace kr {

// "brantel/1.28.1(96)": the product token written after "Server: " and "User-Agent: ".
const std::string& serverSoftware();

// Method names ("NONE", "GET", "POST", "ANSWER") to method codes 0 to 3.
const std::map<std::string, std::uint32_t, std::less<>>& methodTable();

// Scheme numbers to names: 3 "http", 4 "https", 5 "file", 6 "nuxel", 7 "nuxels", 9 "socket".
const std::map<std::uint32_t, std::string>& schemeNameTable();

}  // namespace kr

// Status codes to reason phrases. It starts with the eight codes that the system answers
// with; writing an answer with any other code adds that code with an empty reason, so the
// table is read and grown from every server's thread.
class KrStatusReasonTable {
public:
    KrStatusReasonTable();

    KrStatusReasonTable(const KrStatusReasonTable&) = delete;
    KrStatusReasonTable& operator=(const KrStatusReasonTable&) = delete;

    bool contains(std::int64_t code) const;

    // The reason of a code; none when the table lacks it.
    std::optional<std::string> reason(std::int64_t code) const;

    // The reason of a code, adding the code with an empty reason when the table lacks it.
    std::string reasonAddingUnknown(std::int64_t code);

private:
    // Guards reasons_; no other lock is taken under it.
    mutable std::shared_mutex mutex_;
    std::map<std::int64_t, std::string> reasons_;
};

namespace kr {

// The one status table of the process.
KrStatusReasonTable& statusReasonTable();

}  // namespace kr

// Parts of an address. Only the scheme lookup is needed so far.
class KrURLParts {
public:
    // The name in schemeNameTable, or "none" for a number it lacks.
    static std::string schemeName(std::uint32_t protocol);
};
