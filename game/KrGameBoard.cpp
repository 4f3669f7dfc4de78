#include "game/KrGameBoard.h"

#include <optional>

namespace {

// The eight lines in the order that decides ties; within a line, the last empty cell in
// this order is where the program plays on it.
constexpr std::array<std::array<std::string_view, 3>, 8> kLineKeys = {{
    {"11", "12", "13"},
    {"21", "22", "23"},
    {"31", "32", "33"},
    {"11", "21", "31"},
    {"12", "22", "32"},
    {"13", "23", "33"},
    {"11", "22", "33"},
    {"31", "22", "13"},
}};

}  // namespace

KrGameBoard::KrGameBoard() { buildLines(); }

void KrGameBoard::buildLines() {
    reset();
    for (std::size_t line = 0; line < kLineKeys.size(); ++line) {
        for (std::size_t cell = 0; cell < 3; ++cell) {
            lines_[line][cell] = &cells_.find(kLineKeys[line][cell])->second;
        }
    }
}

bool KrGameBoard::place(std::string_view key) {
    if (status() != kRunning) {
        return false;
    }
    // A key that names no cell must not grow the map: the reply rule walks all its keys.
    const auto cell = cells_.find(key);
    if (cell == cells_.end()) {
        return false;
    }
    lastMove_ = key;
    ++moveCount_;
    if (cell->second != kEmpty) {
        return false;
    }
    cell->second = kCross;
    return true;
}

std::string KrGameBoard::chooseReply() {
    struct LineSummary {
        int crosses = 0;
        std::uint32_t circleTotal = 0;
        std::string_view candidate;  // the line's last empty cell, "" when it is full
    };
    std::optional<LineSummary> blockLine;
    std::optional<LineSummary> bestLine;
    std::int64_t bestTotal = -1;
    for (std::size_t line = 0; line < lines_.size(); ++line) {
        LineSummary summary;
        for (std::size_t cell = 0; cell < 3; ++cell) {
            const std::uint32_t mark = *lines_[line][cell];
            if (mark == kCross) {
                ++summary.crosses;
            } else if (mark == kCircle) {
                summary.circleTotal += 2;
            } else if (mark == kEmpty) {
                summary.candidate = kLineKeys[line][cell];
            }
        }
        if (summary.crosses == 2 && summary.circleTotal == 0) {
            blockLine = summary;
        }
        if (summary.crosses == 0 && static_cast<std::int64_t>(summary.circleTotal) > bestTotal) {
            bestTotal = summary.circleTotal;
            bestLine = summary;
        }
    }

    if (!bestLine) {
        // Every line holds an X: nothing to build on, so the first free cell is taken.
        for (auto& [key, mark] : cells_) {
            if (mark == kEmpty) {
                mark = kCircle;
                return key;
            }
        }
        return {};
    }

    // Two O's on an X-free line win; otherwise an X threat is blocked before O builds.
    const LineSummary& target = blockLine && bestLine->circleTotal < 4 ? *blockLine : *bestLine;
    if (target.candidate.empty()) {
        return {};
    }
    cells_.find(target.candidate)->second = kCircle;
    return std::string(target.candidate);
}

std::int32_t KrGameBoard::status() const {
    for (const Line& line : lines_) {
        std::uint32_t crosses = 0;
        std::uint32_t circleTotal = 0;
        for (const std::uint32_t* mark : line) {
            crosses += *mark & kCross;
            if (crosses == 3) {
                return kCrossWins;
            }
            circleTotal += *mark & kCircle;
            if (circleTotal == 6) {
                return kCircleWins;
            }
        }
    }
    return moveCount_ == kMovesToDraw ? kDraw : kRunning;
}

void KrGameBoard::reset() {
    for (const std::string_view key : kCellKeys) {
        cells_[std::string(key)] = kEmpty;
    }
    lastMove_.clear();
    moveCount_ = 0;
}
