#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The record that the job registry queues and hands to a job's onMessage. It is copied whole
// when it is queued, so a sender may change or drop its own copy at once.
struct KrJobMessage {
    // Type codes.
    static constexpr std::uint32_t kExpired = 1;  // text: the expired connection or server
    static constexpr std::uint32_t kConnectionRemoved = 2;  // text: the removed connection
    static constexpr std::uint32_t kServerExpired = 3;      // text: the server itself
    static constexpr std::uint32_t kTaskDone = 5;     // text: the server; "ctask" names the task
    static constexpr std::uint32_t kPartnerLeft = 6;  // the other member of a link has left
    static constexpr std::uint32_t kDataArrived = 8;  // text: the connection with new bytes

    // The notes of a type-6 message: the partner left its link by unsubscribing, or by leaving
    // the registry altogether. UTF-8, so the first is 13 bytes long.
    static constexpr std::string_view kPartnerUnsubscribedNote = "kommt sp\xC3\xA4ter";
    static constexpr std::string_view kPartnerUnregisteredNote = "kommt sp\xC3\xA4ter A";

    // The parameter that names a task in a type-5 or type-6 message.
    static constexpr std::string_view kTaskParameter = "ctask";

    std::string text;  // for most types the id or name that the message is about
    std::string note;
    std::uint32_t type = 0;
    std::vector<std::string> names;
    std::map<std::string, std::string> parameters;
};
