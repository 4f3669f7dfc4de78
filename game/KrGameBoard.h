#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// The board of one tic-tac-toe game: the user's X, the program's O, and who has won.
// Cells are keyed "11" to "33", row then column. The program's answer follows a fixed
// rule over the eight lines: complete its own line, else block the user's, else build on
// the line where it already has the most.
//
// Not locked: a board belongs to one page context, whose requests are serialised.
class KrGameBoard {
public:
    static constexpr std::uint32_t kEmpty = 0;
    static constexpr std::uint32_t kCross = 1;   // the user
    static constexpr std::uint32_t kCircle = 2;  // the program

    static constexpr std::int32_t kRunning = 0;
    static constexpr std::int32_t kCrossWins = 1;
    static constexpr std::int32_t kCircleWins = 2;
    static constexpr std::int32_t kDraw = 3;

    // The nine cell keys in key order, the order in which the program looks for a free cell.
    static constexpr std::array<std::string_view, 9> kCellKeys = {"11", "12", "13", "21", "22",
                                                                  "23", "31", "32", "33"};

    KrGameBoard();

    // The lines point into the cells map, so a board is neither copied nor moved.
    KrGameBoard(const KrGameBoard&) = delete;
    KrGameBoard& operator=(const KrGameBoard&) = delete;

    // The user's X on the cell `key`. False when the game is over, the key is not one of the
    // nine cells, or the cell is taken. While the game runs every call with a cell key is
    // counted, also one refused because the cell is taken.
    bool place(std::string_view key);

    // Puts the program's O and returns its cell key, or "" when no cell qualifies.
    std::string chooseReply();

    // kRunning, kCrossWins, kCircleWins or kDraw.
    std::int32_t status() const;

    // A new game on the same board.
    void reset();

    const std::map<std::string, std::uint32_t, std::less<>>& cells() const { return cells_; }
    const std::string& lastMove() const { return lastMove_; }
    std::int32_t moveCount() const { return moveCount_; }

private:
    // Counted moves after which a game without a full line is a draw.
    static constexpr std::int32_t kMovesToDraw = 4;

    using Line = std::array<std::uint32_t*, 3>;

    void buildLines();

    std::map<std::string, std::uint32_t, std::less<>> cells_;
    std::array<Line, 8> lines_{};
    std::string lastMove_;
    std::int32_t moveCount_ = 0;
};
