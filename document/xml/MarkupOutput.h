#pragma once

#include <ostream>
#include <string_view>

namespace kr {

// Markup goes out in many small pieces, none of them formatted (no width, no number), so
// they go straight into the stream's buffer: a formatted insert per piece (a sentry and the
// stream's flags each time) costs more than copying the piece. As with an insert, nothing
// is written to a stream that has failed, and a buffer that takes less than the whole piece
// marks the stream bad.
inline void writeMarkupPiece(std::ostream& out, std::string_view piece) {
    std::streambuf* const buffer = out.rdbuf();
    if (!out.good() || buffer == nullptr) {
        out.setstate(std::ios_base::badbit);
        return;
    }
    const auto size = static_cast<std::streamsize>(piece.size());
    if (buffer->sputn(piece.data(), size) != size) {
        out.setstate(std::ios_base::badbit);
    }
}

inline void writeMarkupPiece(std::ostream& out, char piece) {
    writeMarkupPiece(out, std::string_view(&piece, 1));
}

// The pieces (texts and characters) one after the other.
template <class... Pieces>
void writeMarkup(std::ostream& out, const Pieces&... pieces) {
    (writeMarkupPiece(out, pieces), ...);
}

}  // namespace kr
