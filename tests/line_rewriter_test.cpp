// The text rules of a conversion on bytes in memory: the line rule, line
// ends, byte 26 and NUL, with the input cut at every possible place and the
// output buffer at awkward sizes, because a file arrives in pieces. Every
// test runs on both paths the rewriter has, the portable one and SSE2's.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "byte_sink.h"
#include "line_rewriter.h"

namespace {

using std::string;

class MemorySink : public sk::ByteSink {
public:
    explicit MemorySink(size_t cbLimit = string::npos) : m_cbLimit(cbLimit), m_nWrites(0) {}
    int Write(const char* p, size_t cb) override {
        ++m_nWrites;
        if (m_text.size() + cb > m_cbLimit)
            return 0;
        m_text.append(p, cb);
        return 1;
    }
    string m_text;
    size_t m_cbLimit;
    int m_nWrites;
};

// Each test on each path; a path this processor cannot run is skipped.
class LineRewriter : public testing::TestWithParam<sk::LinePath> {
protected:
    void SetUp() override {
        if (!sk::LinePathRuns(GetParam()))
            GTEST_SKIP() << "this processor has no SSE2";
    }
};

std::string PathName(const testing::TestParamInfo<sk::LinePath>& info) {
    return info.param == sk::LinePath::kSse2 ? "Sse2" : "Portable";
}

// Rewrites input fed in pieces of cbPiece bytes through an output buffer of
// cbOut bytes on path; *pCounts (if any) gets what was done to the lines.
string Rewrite(sk::LinePath path, const string& input, size_t cbPiece, size_t cbOut,
               sk::LineCounts* pCounts = nullptr) {
    MemorySink sink;
    string out(cbOut, '\0');
    sk::LineRewriter rewriter(&sink, &out[0], out.size(), path);
    EXPECT_EQ(path, rewriter.Path());
    for (size_t i = 0; i < input.size() && !rewriter.Stopped(); i += cbPiece)
        EXPECT_EQ(1, rewriter.Feed(input.data() + i, std::min(cbPiece, input.size() - i)));
    EXPECT_EQ(1, rewriter.Finish());
    if (pCounts != nullptr)
        *pCounts = rewriter.Counts();
    return sink.m_text;
}

string Visible(const string& s) {
    string v;
    for (unsigned char c : s) {
        if (c == '\r')
            v += "<CR>";
        else if (c == '\n')
            v += "<LF>";
        else if (c < 32)
            v += "<" + std::to_string(c) + ">";
        else
            v += static_cast<char>(c);
    }
    return v;
}

struct RewriteCase {
    string input;
    string output;
};

const RewriteCase kCases[] = {
    // The line rule, first key number 100.
    {"a,b,\n", "a,b,100\r\n"},
    {"a,5,\n", "a,5,\r\n"},
    {"a,b,0\n", "a,b,0100\r\n"},
    {"a,b,7\n", "a,b,7\r\n"},
    {"abc\n", "abc100\r\n"},
    {"\n", "100\r\n"},
    {"a,b,c", "a,b,c100\r\n"},  // the last line keeps its place without a line feed
    {"\"x,1\",\"0\"\n", "\"x,1\",\"0\"100\r\n"},
    // Numbers follow the line's position, numbered or not.
    {"x,\r\ny,\r\nz,\r\n", "x,100\r\ny,101\r\nz,102\r\n"},
    {"x,\r\ny,5\r\nz,\r\n", "x,100\r\ny,5\r\nz,102\r\n"},
    {"1\n2\n\n", "1\r\n2\r\n102\r\n"},
    // CR LF lines that keep their key, before and after one that changes.
    {"a,1\r\nb,2\r\nc,\r\nd,3\r\n", "a,1\r\nb,2\r\nc,102\r\nd,3\r\n"},
    // Lines at the length where copying changes from fixed moves to memcpy.
    {string(126, 'a') + ",0\r\n" + string(127, 'b') + ",0\r\nk,5\r\n,\r\n",
     string(126, 'a') + ",0100\r\n" + string(127, 'b') + ",0101\r\nk,5\r\n,103\r\n"},
    {"a\nb\r\nc", "a100\r\nb101\r\nc102\r\n"},
    // Short lines after the first 32 bytes, whose keys are judged from them.
    {string(40, 'x') + ",0\n,\n5\n\na, 7\nb,00\n,,\n-0,\nc,12\r\nd,\r\ne,5,\r\n",
     string(40, 'x') +
         ",0100\r\n,101\r\n5\r\n103\r\na, 7\r\nb,00105\r\n,,106\r\n-0,107\r\nc,12\r\nd,"
         "109\r\ne,5,\r\n"},
    // An empty input stays empty; a line feed at the end opens no further line.
    {"", ""},
    {"7\n", "7\r\n"},
    // CR: a CR LF pair reads as LF; any other CR is text.
    {"a\rb,1\n", "a\rb,1\r\n"},
    {"\r\r\n", "\r100\r\n"},
    {"a,1\r", "a,1\r\r\n"},
    {"a,0\r\r\n", "a,0\r100\r\n"},
    {"\r", "\r100\r\n"},
    {"\r\n\r\n", "100\r\n101\r\n"},
    {"a\n\rb\n", "a100\r\n\rb101\r\n"},
    // Byte 26 ends the input for good.
    {"a\n\x1a"
     "b\n",
     "a100\r\n"},
    {"a\x1a"
     "b",
     "a100\r\n"},
    {"\x1a", ""},
    {"\x1a\n", ""},
    {"a\r\x1a", "a\r100\r\n"},
    {"5\r\x1a\n", "5\r\r\n"},
    // Found also past the first 64 bytes of a piece, in any of its 16-byte parts.
    {string(99, 'x') + "\x1a" + string(70, '\n'), string(99, 'x') + "100\r\n"},
    // NUL is an ordinary byte.
    {string("a,\0,0\n", 6), string("a,\0,0100\r\n", 10)},
    {string("a,0\0\n", 5), string("a,0\0"
                                  "100\r\n",
                                  9)},
    {string("\0\n", 2), string("\0"
                               "100\r\n",
                               6)},
    // Converted before: text keys that end in their very number already,
    // and one that ends only in its last digit.
    {"abc100\r\nx,y101\r\nq00\n102\n\n", "abc100100\r\nx,y101101\r\nq00102\r\n102\r\n104\r\n"},
    // Code page 932 text passes byte for byte.
    {"\x95\x5c,\x83\x4c\x81\x5b\n",
     "\x95\x5c,\x83\x4c\x81\x5b"
     "100\r\n"},
};

TEST_P(LineRewriter, AppliesTheRulesWhereverTheInputIsCut) {
    for (const RewriteCase& c : kCases) {
        for (size_t cbPiece = 1; cbPiece <= std::max<size_t>(c.input.size(), 1); ++cbPiece) {
            for (size_t cbOut : {1, 2, 3, 7, 4096}) {
                EXPECT_EQ(Visible(c.output), Visible(Rewrite(GetParam(), c.input, cbPiece, cbOut)))
                    << "input " << Visible(c.input) << ", pieces of " << cbPiece
                    << ", output buffer " << cbOut;
            }
        }
        // The counts, however the input is cut, are those of its lines
        // judged one by one: up to a byte 26, split at line feeds, each
        // without the CR of its CR LF; a last line needs no line feed.
        const string text = c.input.substr(0, c.input.find('\x1a'));
        unsigned long long ullLines = 0, ullRenumbered = 0;
        std::vector<unsigned long long> numbered;
        for (size_t i = 0; i < text.size(); ++ullLines) {
            size_t e = text.find('\n', i);
            const bool bEnded = e != string::npos;
            e = bEnded ? e : text.size();
            const size_t cb = e - i - (bEnded && e > i && text[e - 1] == '\r');
            if (sk::KeyField::LineIsMissing(text.data() + i, cb)) {
                numbered.push_back(ullLines + 1);
                const string number = std::to_string(100 + ullLines);
                ullRenumbered += cb >= number.size() &&
                                 text.compare(i + cb - number.size(), number.size(), number) == 0;
            }
            i = e + 1;
        }
        const size_t cNumbered = numbered.size();
        numbered.resize(std::min(cNumbered, sk::LineCounts::kListed));
        for (size_t cbPiece : {1, 3, 4096}) {
            sk::LineCounts counts;
            Rewrite(GetParam(), c.input, cbPiece, 7, &counts);
            const std::vector<unsigned long long> first(counts.aullFirst,
                                                        counts.aullFirst + numbered.size());
            EXPECT_EQ(ullLines, counts.ullLines) << "input " << Visible(c.input);
            EXPECT_EQ(cNumbered, counts.ullNumbered) << "input " << Visible(c.input);
            EXPECT_EQ(ullRenumbered, counts.ullRenumbered) << "input " << Visible(c.input);
            EXPECT_EQ(numbered, first) << "input " << Visible(c.input) << ", pieces " << cbPiece;
        }
    }
}

TEST_P(LineRewriter, GivesKeyNumbersOfAnyLength) {
    string input;
    for (int i = 0; i < 100001; ++i)
        input += i % 2 ? ",\n" : "\n";
    sk::LineCounts counts;
    const string out = Rewrite(GetParam(), input, 65536, 65536, &counts);
    EXPECT_EQ(100001u, counts.ullNumbered);
    EXPECT_EQ(5u, counts.aullFirst[4]);
    // Line n (from 1) gets 99 + n.
    EXPECT_NE(string::npos, out.find("\r\n,999\r\n1000\r\n,1001\r\n"));
    EXPECT_EQ("\r\n100100\r\n", out.substr(out.size() - 10));
}

TEST_P(LineRewriter, JudgesALongLineByItsRealLastField) {
    struct {
        string input;
        string tail;
    } const kCases[] = {
        {string(100000, 'x') + ",0\n", "x,0100\r\n"},
        {string(100000, 'x') + ",7\n", "x,7\r\n"},
        {"1," + string(100000, '0'), "000100\r\n"},
        {"1," + string(100000, '0') + "1,", "01,\r\n"},
        {"9," + string(100000, ' ') + "\n", "  100\r\n"},
    };
    for (const auto& c : kCases) {
        for (size_t cbPiece : {1, 255, 256, 4096, 65536}) {
            const string out = Rewrite(GetParam(), c.input, cbPiece, 4096);
            ASSERT_GE(out.size(), c.tail.size());
            EXPECT_EQ(Visible(c.tail), Visible(out.substr(out.size() - c.tail.size())))
                << "pieces of " << cbPiece;
            EXPECT_EQ(1, std::count(out.begin(), out.end(), '\n')) << "pieces of " << cbPiece;
        }
    }
}

TEST_P(LineRewriter, StopsAtTheFirstFailedWrite) {
    const string input = "a\nb\nc\nd\n";  // 24 bytes of output
    for (size_t cbLimit = 0; cbLimit < 24; ++cbLimit) {
        MemorySink sink(cbLimit);
        char out[4];
        sk::LineRewriter rewriter(&sink, out, sizeof out, GetParam());
        int nFed = 1;
        for (char ch : input)
            nFed &= rewriter.Feed(&ch, 1);
        EXPECT_EQ(0, nFed & rewriter.Finish()) << "limit " << cbLimit;
        // Full buffers of 4 bytes go out until the one that fails; nothing after it.
        EXPECT_EQ(static_cast<int>(cbLimit / 4 + 1), sink.m_nWrites) << "limit " << cbLimit;
        EXPECT_EQ(0, rewriter.Feed("x\n", 2)) << "limit " << cbLimit;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, LineRewriter,
                         testing::Values(sk::LinePath::kPortable, sk::LinePath::kSse2), PathName);

}  // namespace
