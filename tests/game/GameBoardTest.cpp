#include "game/KrGameBoard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Keys = std::vector<std::string>;

constexpr const char* kCellKeys[] = {"11", "12", "13", "21", "22", "23", "31", "32", "33"};

constexpr const char* kLines[8][3] = {
    {"11", "12", "13"}, {"21", "22", "23"}, {"31", "32", "33"}, {"11", "21", "31"},
    {"12", "22", "32"}, {"13", "23", "33"}, {"11", "22", "33"}, {"31", "22", "13"},
};

// Plays clicks the way the game pages do: the program answers every accepted X unless
// X has just won. Returns the answers in order.
Keys play(KrGameBoard& board, const Keys& clicks) {
    Keys replies;
    for (const auto& click : clicks) {
        if (board.place(click) && board.status() != KrGameBoard::kCrossWins) {
            replies.push_back(board.chooseReply());
        }
    }
    return replies;
}

// Places X's without asking for answers, as a position for a test.
void placeCrosses(KrGameBoard& board, const Keys& keys) {
    for (const auto& key : keys) {
        ASSERT_TRUE(board.place(key)) << key;
    }
}

// The ended games used below: X wins (its answers left out), O wins, and a draw.
struct Ending {
    Keys crosses;  // placed without answers
    Keys clicks;   // then played with answers
    std::int32_t status;
};

const Ending kEndings[] = {
    {{"11", "12", "13"}, {}, KrGameBoard::kCrossWins},
    {{}, {"21", "31", "22"}, KrGameBoard::kCircleWins},
    {{}, {"11", "13", "22", "32"}, KrGameBoard::kDraw},
    {{}, {"11", "11", "11", "11"}, KrGameBoard::kDraw},
};

void reach(KrGameBoard& board, const Ending& ending) {
    placeCrosses(board, ending.crosses);
    play(board, ending.clicks);
    ASSERT_EQ(board.status(), ending.status);
}

// The board as three rows of "X", "O" and ".", e.g. "X.O/.X./..O".
std::string picture(const KrGameBoard& board) {
    std::string text;
    for (const char* key : kCellKeys) {
        const std::uint32_t mark = board.cells().at(key);
        text += mark == KrGameBoard::kCross ? 'X' : mark == KrGameBoard::kCircle ? 'O' : '.';
        if (key[1] == '3' && key[0] != '3') {
            text += '/';
        }
    }
    return text;
}

void expectNewGame(const KrGameBoard& board) {
    EXPECT_EQ(picture(board), ".../.../...");
    EXPECT_EQ(board.cells().size(), 9u);
    EXPECT_EQ(board.moveCount(), 0);
    EXPECT_EQ(board.lastMove(), "");
    EXPECT_EQ(board.status(), KrGameBoard::kRunning);
}

TEST(GameBoard, StartsEmptyAndRunning) {
    const KrGameBoard board;
    expectNewGame(board);
}

struct GameCase {
    Keys clicks;
    Keys replies;
    std::string position;
    std::int32_t status;
};

TEST(GameBoard, AnswersByWinningThenBlockingThenBuilding) {
    const GameCase cases[] = {
        // First moves: the first X-free line is built on, at its last empty cell.
        {{"11"}, {"23"}, "X../..O/...", KrGameBoard::kRunning},
        {{"12"}, {"23"}, ".X./..O/...", KrGameBoard::kRunning},
        {{"13"}, {"23"}, "..X/..O/...", KrGameBoard::kRunning},
        {{"21"}, {"13"}, "..O/X../...", KrGameBoard::kRunning},
        {{"22"}, {"13"}, "..O/.X./...", KrGameBoard::kRunning},
        {{"23"}, {"13"}, "..O/..X/...", KrGameBoard::kRunning},
        {{"31"}, {"13"}, "..O/.../X..", KrGameBoard::kRunning},
        {{"32"}, {"13"}, "..O/.../.X.", KrGameBoard::kRunning},
        {{"33"}, {"13"}, "..O/.../..X", KrGameBoard::kRunning},
        // Two X in the top row and only one O on the best line: block.
        {{"11", "12"}, {"23", "13"}, "XXO/..O/...", KrGameBoard::kRunning},
        // Two O on an X-free line: complete it rather than block the X threat at "31".
        {{"11", "12", "21"}, {"23", "13", "33"}, "XXO/X.O/..O", KrGameBoard::kCircleWins},
        {{"12", "21", "32"}, {"23", "33", "13"}, ".XO/X.O/.XO", KrGameBoard::kCircleWins},
        // At the fourth move every line holds an X: the first free cell is taken, although
        // "33" would block the diagonal.
        {{"11", "13", "22", "32"}, {"23", "12", "31", "21"}, "XOX/OXO/OX.", KrGameBoard::kDraw},
    };
    for (const auto& c : cases) {
        KrGameBoard board;
        EXPECT_EQ(play(board, c.clicks), c.replies) << c.position;
        EXPECT_EQ(picture(board), c.position);
        EXPECT_EQ(board.status(), c.status) << c.position;
    }
}

TEST(GameBoard, CrossWinsOnEveryLine) {
    for (const auto& line : kLines) {
        KrGameBoard board;
        ASSERT_TRUE(board.place(line[0]));
        ASSERT_TRUE(board.place(line[1]));
        EXPECT_EQ(board.status(), KrGameBoard::kRunning) << line[0] << line[1] << line[2];
        ASSERT_TRUE(board.place(line[2]));
        EXPECT_EQ(board.status(), KrGameBoard::kCrossWins) << line[0] << line[1] << line[2];
    }
}

TEST(GameBoard, CircleWinsOnEveryLine) {
    const GameCase cases[] = {
        {{"21", "31", "22"}, {"13", "11", "12"}, "OOO/XX./X..", KrGameBoard::kCircleWins},
        {{"11", "31", "12"}, {"23", "21", "22"}, "XX./OOO/X..", KrGameBoard::kCircleWins},
        // After the fourth X the game stands drawn, but the answer still completes a line.
        {{"11", "21", "22", "12"},
         {"23", "31", "33", "32"},
         "XX./XXO/OOO",
         KrGameBoard::kCircleWins},
        {{"12", "13", "22", "33"},
         {"23", "11", "31", "21"},
         "OXX/OXO/O.X",
         KrGameBoard::kCircleWins},
        {{"11", "13", "33", "21"},
         {"23", "12", "22", "32"},
         "XOX/XOO/.OX",
         KrGameBoard::kCircleWins},
        {{"11", "12", "21"}, {"23", "13", "33"}, "XXO/X.O/..O", KrGameBoard::kCircleWins},
        {{"12", "13", "21", "31"},
         {"23", "11", "33", "22"},
         "OXX/XOO/X.O",
         KrGameBoard::kCircleWins},
        {{"21", "11", "12"}, {"13", "31", "22"}, "XXO/XO./O..", KrGameBoard::kCircleWins},
    };
    for (std::size_t line = 0; line < std::size(cases); ++line) {
        const auto& c = cases[line];
        KrGameBoard board;
        EXPECT_EQ(play(board, c.clicks), c.replies) << "line " << line + 1;
        EXPECT_EQ(picture(board), c.position) << "line " << line + 1;
        EXPECT_EQ(board.status(), c.status) << "line " << line + 1;
        for (const char* key : kLines[line]) {
            EXPECT_EQ(board.cells().at(key), KrGameBoard::kCircle) << "line " << line + 1;
        }
    }
}

TEST(GameBoard, IsDrawnAfterTheFourthCountedMoveWithoutAFullLine) {
    KrGameBoard board;
    const Keys clicks = {"11", "13", "22", "32"};
    for (std::size_t move = 0; move < clicks.size(); ++move) {
        ASSERT_TRUE(board.place(clicks[move]));
        EXPECT_EQ(board.status(),
                  move + 1 < clicks.size() ? KrGameBoard::kRunning : KrGameBoard::kDraw);
        board.chooseReply();
    }
    EXPECT_EQ(picture(board), "XOX/OXO/OX.");
    EXPECT_EQ(board.status(), KrGameBoard::kDraw);
}

TEST(GameBoard, CountsClicksOnTakenCellsTowardsTheDraw) {
    KrGameBoard board;
    EXPECT_EQ(play(board, {"11"}), Keys{"23"});
    for (int click = 2; click <= 4; ++click) {
        EXPECT_FALSE(board.place("23"));
        EXPECT_EQ(board.moveCount(), click);
        EXPECT_EQ(board.lastMove(), "23");
    }
    EXPECT_EQ(board.status(), KrGameBoard::kDraw);
    EXPECT_EQ(picture(board), "X../..O/...");
}

TEST(GameBoard, RefusesEveryPlaceOnceTheGameHasEnded) {
    for (const auto& ending : kEndings) {
        KrGameBoard board;
        reach(board, ending);
        const std::string position = picture(board);
        const std::int32_t count = board.moveCount();
        const std::string last = board.lastMove();
        for (const char* key : kCellKeys) {
            EXPECT_FALSE(board.place(key)) << key;
        }
        EXPECT_EQ(board.moveCount(), count);
        EXPECT_EQ(board.lastMove(), last);
        EXPECT_EQ(picture(board), position);
        EXPECT_EQ(board.status(), ending.status);
    }
}

// A key that names no cell must neither count as a move nor add a cell that the reply
// rule would then walk.
TEST(GameBoard, RefusesKeysOutsideTheNineCellsWithoutCountingThem) {
    KrGameBoard board;
    ASSERT_TRUE(board.place("22"));
    for (const char* key : {"", "1", "44", "10", "111", "11 ", "2\0002", "NeuStartenTxt"}) {
        EXPECT_FALSE(board.place(key)) << "'" << key << "'";
    }
    EXPECT_EQ(board.moveCount(), 1);
    EXPECT_EQ(board.lastMove(), "22");
    EXPECT_EQ(board.cells().size(), 9u);
    EXPECT_EQ(board.status(), KrGameBoard::kRunning);
    EXPECT_EQ(board.chooseReply(), "13");
}

TEST(GameBoard, ReplyTakesTheFirstFreeCellWhenEveryLineHoldsAnX) {
    KrGameBoard board;
    // One X on every line, none full: the fourth counted move makes it a draw.
    placeCrosses(board, {"12", "21", "22", "33"});
    EXPECT_EQ(board.status(), KrGameBoard::kDraw);
    Keys replies;
    for (int reply = 0; reply < 6; ++reply) {
        replies.push_back(board.chooseReply());
    }
    EXPECT_EQ(replies, (Keys{"11", "13", "23", "31", "32", ""}));
    EXPECT_EQ(picture(board), "OXO/XXO/OOX");
}

TEST(GameBoard, ReplyChangesNothingWhenTheBestLineIsFull) {
    KrGameBoard board;
    EXPECT_EQ(board.chooseReply(), "13");
    EXPECT_EQ(board.chooseReply(), "12");
    EXPECT_EQ(board.chooseReply(), "11");
    EXPECT_EQ(board.status(), KrGameBoard::kCircleWins);
    EXPECT_EQ(board.chooseReply(), "");
    EXPECT_EQ(picture(board), "OOO/.../...");
}

TEST(GameBoard, RestartsFromEveryState) {
    KrGameBoard board;
    board.reset();
    expectNewGame(board);
    play(board, {"11"});
    board.reset();
    expectNewGame(board);
    for (const auto& ending : kEndings) {
        reach(board, ending);
        board.reset();
        expectNewGame(board);
        // The lines still see the cells after a restart.
        EXPECT_EQ(play(board, {"11", "12"}), (Keys{"23", "13"}));
        board.reset();
        placeCrosses(board, {"31", "32", "33"});
        EXPECT_EQ(board.status(), KrGameBoard::kCrossWins);
        board.reset();
    }
}

}  // namespace
