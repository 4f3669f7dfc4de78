#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/KrByteBuffer.h"

// One file built into the program: name, kind, size and content. Text kinds keep their
// content as text; the binary kinds 4 to 6 keep it as bytes decoded from Base64.
class KrResourceRecord {
public:
    static constexpr std::uint64_t kBufferStep = 2048;

    static bool isBinaryKind(std::uint32_t kind) { return kind >= 4 && kind <= 6; }

    // The empty record: no name, no content, kind 0.
    KrResourceRecord() = default;

    // Throws KrException (26) for a binary kind whose text is not Base64.
    KrResourceRecord(std::string_view name, std::uint32_t kind, std::string_view text,
                     bool isBase64);

    // Copies are deep: each record owns its own bytes.
    KrResourceRecord(const KrResourceRecord& other);
    KrResourceRecord& operator=(const KrResourceRecord& other);
    KrResourceRecord(KrResourceRecord&&) noexcept = default;
    KrResourceRecord& operator=(KrResourceRecord&&) noexcept = default;
    ~KrResourceRecord() = default;

    // The content as bytes: every byte of a binary record (zero bytes included), or the text.
    std::string contentString() const;

    const std::string& name() const { return name_; }
    std::uint32_t kind() const { return kind_; }
    std::uint64_t size() const { return size_; }
    const std::string& contentText() const { return contentText_; }
    const KrByteBuffer* byteBuffer() const { return bytes_.get(); }

private:
    std::string contentText_;
    std::unique_ptr<KrByteBuffer> bytes_;  // binary kinds only
    std::string name_;
    std::uint64_t size_ = 0;
    std::uint32_t kind_ = 0;
};
