#include "http/HTTPTables.h"

#include <mutex>

#include "foundation/Version.h"

namespace kr {

const std::string& serverSoftware() {
    // Made once: every answer's head names it.
    static const std::string software =
        "brantel/" + std::string(kFrameworkVersion) + "(" + std::string(kReleaseNumber) + ")";
    return software;
}

const std::map<std::string, std::uint32_t, std::less<>>& methodTable() {
    static const std::map<std::string, std::uint32_t, std::less<>> table = {
        {"NONE", 0}, {"GET", 1}, {"POST", 2}, {"ANSWER", 3}};
    return table;
}

const std::map<std::uint32_t, std::string>& schemeNameTable() {
    static const std::map<std::uint32_t, std::string> table = {
        {3, "http"}, {4, "https"}, {5, "file"}, {6, "nuxel"}, {7, "nuxels"}, {9, "socket"}};
    return table;
}

KrStatusReasonTable& statusReasonTable() {
    static KrStatusReasonTable table;
    return table;
}

}  // namespace kr

KrStatusReasonTable::KrStatusReasonTable()
    : reasons_{{200, "OK"},
               {201, "Created"},
               {303, "Redirect"},
               {400, "Bad Request"},
               {404, "Not Found"},
               {417, "Expectation Failed"},
               {500, "Internal Error"},
               {502, "Server Error"},
               {503, "Service Unavailable"}} {}

bool KrStatusReasonTable::contains(std::int64_t code) const {
    std::shared_lock lock(mutex_);
    return reasons_.contains(code);
}

std::optional<std::string> KrStatusReasonTable::reason(std::int64_t code) const {
    std::shared_lock lock(mutex_);
    const auto found = reasons_.find(code);
    if (found == reasons_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::string KrStatusReasonTable::reasonAddingUnknown(std::int64_t code) {
    if (auto known = reason(code)) {
        return *known;
    }
    std::unique_lock lock(mutex_);
    return reasons_.try_emplace(code).first->second;
}

std::string KrURLParts::schemeName(std::uint32_t protocol) {
    const auto& table = kr::schemeNameTable();
    const auto found = table.find(protocol);
    return found != table.end() ? found->second : "none";
}
