// The key field of a line and its zero test, whole and in every split, since
// a conversion sees long lines in pieces.
#include <string>

#include <gtest/gtest.h>

#include "key_field.h"
#include "key_number.h"
#include "line_rewriter.h"
#include "search_key_converter.h"

namespace {

struct KeyCase {
    std::string line;  // without its line feed
    bool bMissing;
};

// The key field alone (no comma) and whole lines.
const KeyCase kKeyCases[] = {
    // The zero test.
    {"", true},
    {"0", true},
    {"000", true},
    {"abc", true},
    {"0x1F", true},
    {" ", true},
    {"-0", true},
    {"+000", true},
    {"+-5", true},
    {"- 5", true},
    {"0 5", true},
    {" \t\v\f\r", true},
    {std::string("\0"
                 "5",
                 2),
     true},
    {" 7", false},
    {"-3", false},
    {"+8", false},
    {"12x", false},
    {"\t\v\f\r 5", false},
    {std::string("5\0", 2), false},
    {"00000000000000000000000000001", false},
    // No wrap at 2^32 or 2^64: these are not zero.
    {"4294967296", false},
    {"18446744073709551616", false},
    {"-4294967296", false},
    {"0000000000000000000000000000000000000", true},
    // Which field is the key.
    {"a,b,c", true},
    {"a,b,7", false},
    {"a,b,", true},
    {"a,5,", false},
    {"a,5,,", true},
    {"a,b,,", true},
    {",", true},
    {",,", true},
    {"5,", false},
    {"5,,", true},
    {"a,b,0", true},
    {"7,0", true},
    {"0,7", false},
    {"\"1,0\"", true},  // quotes are ordinary bytes: the key is 0"
    {"\"0,1\"", false},
    {"a, 12", false},
    {"a,-0,", true},
    {"a,0\r", true},
    {"a,3\r", false},
    // Where the field before the key starts 16 or 32 bytes before the end.
    {"a," + std::string(30, 'x') + ",", true},
    {"a," + std::string(31, 'x') + ",", true},
    {"7," + std::string(30, 'x') + ",", true},
    {std::string(31, '7') + ",", false},
    {std::string(32, '7') + ",", false},
    {"a," + std::string(29, '0') + "1", false},
    {"a," + std::string(40, '0') + "1,", false},
    {std::string(15, ' ') + "3,", false},
    {std::string(20, '0'), true},  // no comma: the key starts at the line feed before it
};

// Feeds the line in pieces of cbPiece bytes (0: whole).
bool Missing(const std::string& line, size_t cbPiece) {
    sk::KeyField key;
    if (cbPiece == 0)
        cbPiece = line.size() + 1;
    for (size_t i = 0; i < line.size(); i += cbPiece)
        key.Feed(line.data() + i, std::min(cbPiece, line.size() - i));
    return key.IsMissing() != 0;
}

TEST(KeyField, JudgesTheKeyFieldWholeAndInEveryPieceSize) {
    for (const KeyCase& c : kKeyCases) {
        EXPECT_EQ(c.bMissing, sk::KeyField::LineIsMissing(c.line.data(), c.line.size()) != 0)
            << "whole line [" << c.line << "]";
        for (size_t cbPiece = 0; cbPiece <= c.line.size(); ++cbPiece)
            EXPECT_EQ(c.bMissing, Missing(c.line, cbPiece))
                << "line [" << c.line << "] pieces of " << cbPiece;
    }
}

// The judgement each path of the rewriter makes of a line in the middle of
// the input, on the same table.
class KeyFieldOnPath : public testing::TestWithParam<sk::LinePath> {
protected:
    void SetUp() override {
        if (!sk::LinePathRuns(GetParam()))
            GTEST_SKIP() << "this processor has no SSE2";
    }
};

TEST_P(KeyFieldOnPath, JudgesALineAfterEarlierLines) {
    for (const KeyCase& c : kKeyCases) {
        // After earlier lines, whose bytes the judgement may look at: too
        // few for its 32-byte look, commas, and a key other than the line's
        // right before its line feed.
        for (const std::string& before :
             {std::string("0,1\n"), std::string(40, ',') + "\n", std::string(40, 'x') + ",1\n"}) {
            const std::string text = before + c.line + "\n";
            EXPECT_EQ(c.bMissing,
                      sk::LineAfterLfIsMissing(GetParam(), text.data(), &text[before.size()],
                                               c.line.size()) != 0)
                << "line [" << c.line << "] after [" << before << "]";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, KeyFieldOnPath,
                         testing::Values(sk::LinePath::kPortable, sk::LinePath::kSse2),
                         [](const testing::TestParamInfo<sk::LinePath>& info) {
                             return info.param == sk::LinePath::kSse2 ? "Sse2" : "Portable";
                         });

TEST(KeyField, ResetStartsANewLine) {
    sk::KeyField key;
    key.Feed("a,5,", 4);
    ASSERT_EQ(0, key.IsMissing());
    key.Reset();
    EXPECT_EQ(1, key.IsMissing());
    key.Feed("9", 1);
    EXPECT_EQ(0, key.IsMissing());
}

TEST(KeyIsMissing, RemovesTheLineFeedAndJudgesTheLine) {
    for (const KeyCase& c : kKeyCases) {
        if (c.line.find('\0') != std::string::npos)
            continue;  // the line buffer is a C string
        for (const char* pszEnd : {"", "\n"}) {
            SearchKeyConverter conv;
            conv.SetLine((c.line + pszEnd).c_str());
            EXPECT_EQ(c.bMissing ? 1 : 0, conv.KeyIsMissing())
                << "line [" << c.line << pszEnd << "]";
        }
    }
}

TEST(KeyIsMissing, JudgesOnlyTheFirst255BytesOfTheLineBuffer) {
    SearchKeyConverter conv;
    conv.SetLine((std::string(254, 'x') + ",7,0").c_str());  // cut to x...x,
    EXPECT_EQ(1, conv.KeyIsMissing());
    conv.SetLine((std::string(252, 'x') + ",7,0").c_str());  // cut to x...x,7,
    EXPECT_EQ(0, conv.KeyIsMissing());
}

TEST(KeyNumber, CountsInDecimalTextOfAnyLength) {
    struct {
        unsigned long long ullFirst;
        unsigned nSteps;
        const char* pszExpected;
    } const kCases[] = {
        {100, 0, "100"},
        {100, 1, "101"},
        {100, 900, "1000"},
        {100, 100000, "100100"},
        {0, 0, "0"},
        {9, 1, "10"},
        {18446744073709551615ull, 1, "18446744073709551616"},
    };
    for (const auto& c : kCases) {
        sk::KeyNumber number(c.ullFirst);
        for (unsigned i = 0; i < c.nSteps; ++i)
            ASSERT_EQ(1, number.Increment());
        EXPECT_EQ(std::string(c.pszExpected), std::string(number.Text(), number.Length()))
            << c.ullFirst << " + " << c.nSteps;
    }
}

}  // namespace
