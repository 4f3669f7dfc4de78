#include "foundation/KrResourceRecord.h"

#include <cstring>

#include "foundation/Base64.h"
#include "foundation/KrException.h"

KrResourceRecord::KrResourceRecord(std::string_view name, std::uint32_t kind, std::string_view text,
                                   bool isBase64)
    : name_(name), kind_(kind) {
    if (isBinaryKind(kind)) {
        if (!isBase64) {
            throw KrException("can't read that type from direct string", 26, "src");
        }
        bytes_ = std::make_unique<KrByteBuffer>(kBufferStep);
        kr::decodeBase64(text, *bytes_);
        size_ = bytes_->size();
        return;
    }
    if (isBase64) {
        // A text kind ends at its first zero byte.
        KrByteBuffer decoded(kBufferStep);
        kr::decodeBase64(text, decoded);
        contentText_.assign(decoded.data(), std::strlen(decoded.data()));
    } else {
        contentText_ = text;
    }
    size_ = contentText_.size();
}

KrResourceRecord::KrResourceRecord(const KrResourceRecord& other)
    : contentText_(other.contentText_), name_(other.name_), size_(other.size_), kind_(other.kind_) {
    if (other.bytes_) {
        bytes_ = std::make_unique<KrByteBuffer>(kBufferStep);
        bytes_->assign(*other.bytes_);
    }
}

KrResourceRecord& KrResourceRecord::operator=(const KrResourceRecord& other) {
    if (this != &other) {
        KrResourceRecord copy(other);
        *this = std::move(copy);
    }
    return *this;
}

std::string KrResourceRecord::contentString() const {
    if (bytes_) {
        return std::string(bytes_->data(), bytes_->size());
    }
    return contentText_;
}
