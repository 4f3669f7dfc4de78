#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>

// The application's settings, text to text ("startpath", "_baseDirectoryHTTP",
// "tcp_port_http", ...). The listener's status event writes them on a scheduler thread
// while request threads read them, so every access goes through the map's own lock and
// readers get copies.
class KrSettingsMap {
public:
    using Map = std::map<std::string, std::string>;

    KrSettingsMap() = default;
    explicit KrSettingsMap(Map values) : values_(std::move(values)) {}
    KrSettingsMap(const KrSettingsMap&) = delete;
    KrSettingsMap& operator=(const KrSettingsMap&) = delete;

    // The value stored under key, or fallback; never inserts.
    std::string value(const std::string& key, std::string_view fallback = {}) const;
    // The value stored under key; a missing key is entered with an empty value.
    std::string entry(const std::string& key);
    bool contains(const std::string& key) const;
    void set(const std::string& key, std::string value);
    Map copy() const;

private:
    // Guards values_; no other lock is taken under it.
    mutable std::mutex mutex_;
    Map values_;
};
