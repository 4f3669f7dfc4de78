#include "app/KrSettingsMap.h"

#include "foundation/Strings.h"

std::string KrSettingsMap::value(const std::string& key, std::string_view fallback) const {
    std::lock_guard lock(mutex_);
    return kr::valueOrDefault(values_, key, fallback);
}

std::string KrSettingsMap::entry(const std::string& key) {
    std::lock_guard lock(mutex_);
    return values_[key];
}

bool KrSettingsMap::contains(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return values_.contains(key);
}

void KrSettingsMap::set(const std::string& key, std::string value) {
    std::lock_guard lock(mutex_);
    values_[key] = std::move(value);
}

KrSettingsMap::Map KrSettingsMap::copy() const {
    std::lock_guard lock(mutex_);
    return values_;
}
