#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One query parameter or one body part of a message: its data, the part's own header
// fields, and its disposition ("name", and "mimetype" preset to application/octet-stream).
class KrHTTPMessageBlock {
public:
    KrHTTPMessageBlock();

    KrHTTPMessageBlock(const KrHTTPMessageBlock&) = delete;
    KrHTTPMessageBlock& operator=(const KrHTTPMessageBlock&) = delete;

    // The data as text; empty when the block has none.
    std::string text() const { return data_; }
    // Replaces the data; an empty text leaves the block without data.
    void setData(std::string bytes) { data_ = std::move(bytes); }
    bool hasData() const { return !data_.empty(); }

    std::string name() const;
    void setName(std::string name) { disposition_["name"] = std::move(name); }

    std::map<std::string, std::vector<std::string>>& fields() { return fields_; }
    const std::map<std::string, std::vector<std::string>>& fields() const { return fields_; }
    std::map<std::string, std::string>& disposition() { return disposition_; }
    const std::map<std::string, std::string>& disposition() const { return disposition_; }

private:
    // Held as text: the block is made once and only read as a whole afterwards.
    std::string data_;
    std::map<std::string, std::vector<std::string>> fields_;
    std::map<std::string, std::string> disposition_;
};

// A map from a text (a parameter name, or a block's position) to a block that a message
// owns. It does not own the blocks.
class KrHTTPMessageBlockDisposition {
public:
    using Map = std::map<std::string, const KrHTTPMessageBlock*, std::less<>>;

    KrHTTPMessageBlockDisposition() = default;
    KrHTTPMessageBlockDisposition(const KrHTTPMessageBlockDisposition&) = delete;
    KrHTTPMessageBlockDisposition& operator=(const KrHTTPMessageBlockDisposition&) = delete;
    virtual ~KrHTTPMessageBlockDisposition() = default;

    // Enters the block under key, replacing an earlier one.
    void set(const std::string& key, const KrHTTPMessageBlock* block) { map_[key] = block; }
    // The block under key, or null.
    const KrHTTPMessageBlock* find(std::string_view key) const;

    std::size_t size() const { return map_.size(); }
    bool empty() const { return map_.empty(); }
    Map::const_iterator begin() const { return map_.begin(); }
    Map::const_iterator end() const { return map_.end(); }

private:
    Map map_;
};
