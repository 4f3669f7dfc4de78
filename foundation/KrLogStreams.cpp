#include "foundation/KrLogStreams.h"

KrLogStreams::DiscardingBuffer& KrLogStreams::sink() {
    static DiscardingBuffer buffer;
    return buffer;
}

KrLogStreams::KrLogStreams() : nullStream_(&sink()) {
    for (auto& entry : streams_) {
        entry = &nullStream_;
    }
}

std::ostream& KrLogStreams::stream(int level) {
    // Built on first use in each thread, so statics of other files may log while they are
    // constructed.
    thread_local KrLogStreams table;
    const int index = (level >= 1 && level <= kLevels) ? level : 0;
    return *table.streams_[index];
}
