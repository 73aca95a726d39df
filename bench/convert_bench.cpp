// Speed and memory of a conversion next to the least a durable replace of
// the same file can do, measured in pairs.
//
//   convert_bench [--size MiB] [--rounds N] [--dir FOLDER] [--settle SECONDS]
//                 [--shapes records,short-lf,sheet,sheet-lf,short-sheet,one-line,line-feeds]
//                 [--skconv PATH]
//
// For each shape of file it times, in every round, the limit (dd bs=1M
// conv=fsync to a new name, then mv over the original: the least a durable
// replace does with the standard tools) and skconv's pass back to back, on
// identical fresh copies, and takes their ratio in that round; the rounds
// alternate which of the two goes first. Each step starts on copies that
// are on the disk already (written, flushed, then a short settle), so that
// no step pays for the write-back or the freeing of what came before it.
// In the same round it times dd alone and mv alone: a round whose limit
// is far from their sum measured something else besides and is left out
// of the median, and shown as such.
//
// Shapes: records as the bench has always used (CR LF, a third of the
// keys present), short line-feed-only records in code page 932 with most
// lines numbered, records as a spreadsheet saves them with keys of every
// kind drawn at random (CR LF, the same with bare line feeds, and short
// ones), so that no pattern in the keys helps the processor, and two that
// would make a line-based reader grow: one huge line, and nothing but line
// feeds, each of which becomes a numbered line (that output is about eleven
// times the input, so its limit copies a file as large as that output over
// one as large as the input).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const size_t kChunk = 1 << 20;  // dd bs=1M
// How far the limit may be from dd alone + mv alone before its round is left out.
const double kLimitTolerance = 0.25;

[[noreturn]] void Die(const char* pszWhat, const std::string& path) {
    std::fprintf(stderr, "convert_bench: %s %s: %s\n", pszWhat, path.c_str(), std::strerror(errno));
    std::exit(1);
}

// Writes cb bytes made by fill, which fills a buffer and returns how much it filled.
void Generate(const std::string& path, unsigned long long cb, size_t (*pfnFill)(char*, size_t)) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        Die("cannot create", path);
    static char buf[kChunk];
    while (cb > 0) {
        size_t n = pfnFill(buf, sizeof buf);
        if (n > cb)
            n = static_cast<size_t>(cb);
        if (::write(fd, buf, n) != static_cast<ssize_t>(n))
            Die("cannot write", path);
        cb -= n;
    }
    if (::close(fd) != 0)
        Die("cannot close", path);
}

// Whole lines from pfnLine while they fit; returns the bytes filled.
size_t FillLines(char* p, size_t cb, int (*pfnLine)(char*, size_t)) {
    size_t used = 0;
    char line[256];
    for (;;) {
        const int cch = pfnLine(line, sizeof line);
        if (used + static_cast<size_t>(cch) > cb)
            return used;  // this line is lost: nothing depends on which lines come
        std::memcpy(p + used, line, static_cast<size_t>(cch));
        used += static_cast<size_t>(cch);
    }
}

// The bench's records since its first version: keys present, empty and
// zero in turn; CR LF endings; about 55 bytes a line.
int RecordLine(char* p, size_t cb) {
    static unsigned long long n = 0;
    ++n;
    const char* pszKey = n % 3 == 0 ? "" : n % 3 == 1 ? "0" : "4711";
    return std::snprintf(p, cb, "%llu,Tokyo Minato-ku Shiba 3-%llu,customer %llu,%s\r\n", n, n % 97,
                         n * 7919 % 100000, pszKey);
}

size_t FillRecords(char* p, size_t cb) {
    return FillLines(p, cb, RecordLine);
}

// Records as Unix tools and many web systems save them: a code, a date, a
// name and a town in code page 932, and the key, empty on most lines (the
// line then ends in the comma before it, so the town is judged: zero),
// sometimes 0; bare line feeds; about 44 bytes a line. Names, towns and
// keys are drawn at random, so that no pattern helps the processor guess.
int ShortLfLine(char* p, size_t cb) {
    static const char* const kapszName[] = {"\216R\223c \221\276\230Y",
                                            "\215\262\223\241 \211\324\216q",
                                            "\227\351\226\330 \210\352",
                                            "\215\202\213\264 \224\374\227R\213I",
                                            "\223c\222\206 \214\222",
                                            "\223n\225\323 \222\274\224\374",
                                            "\210\311\223\241 \343\304\221\276",
                                            "\222\206\221\272 \210\244"};
    static const char* const kapszTown[] = {
        "\223\214\213\236\223s\215`\213\346\216\305",
        "\221\345\215\343\225{\221\345\215\343\216s\226k\213\346",
        "\213\236\223s\225{\213\236\223s\216s",
        "\226k\212C\223\271\216D\226y\216s\222\206\211\233\213\346",
        "\225\237\211\252\214\247\225\237\211\252\216s",
        "\220_\223\336\220\354\214\247\211\241\225l\216s\220\274\213\346",
        "\210\244\222m\214\247\226\274\214\303\211\256\216s",
        "\211\253\223\352\214\247\223\337\224e\216s"};
    static unsigned long long x = 88172645463325252ull;  // xorshift64
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const unsigned r = static_cast<unsigned>(x >> 32);
    const unsigned nKey = r % 100;  // 86 % of the lines get a number
    char szKey[8] = "";
    if (nKey >= 86)
        std::snprintf(szKey, sizeof szKey, "%u", 1 + (r >> 8) % 999);
    else if (nKey >= 76)
        std::strcpy(szKey, "0");
    return std::snprintf(p, cb, "%u,%04u/%02u/%02u,%s,%s,%s\n", (r >> 4) % 1000000,
                         2020 + (r >> 12) % 6, 1 + (r >> 16) % 12, 1 + (r >> 20) % 28,
                         kapszName[(r >> 24) % 8], kapszTown[(r >> 27) % 8], szKey);
}

size_t FillShortLf(char* p, size_t cb) {
    return FillLines(p, cb, ShortLfLine);
}

// Records as a spreadsheet saves them: a code, a name and a town in code
// page 932, a date, an amount, and the key drawn at random from what such
// a column holds: empty, 0, a word, a number, now and then a number
// followed by an empty column (the line then ends in a comma). An empty key
// makes the amount before it the key, so about 30 % of the lines get a
// number, which ones at random; about 44 bytes a line. CR LF as the
// spreadsheet writes them, or bare line feeds for the same records passed
// through a Unix tool. Short ones have only a code, a name, an amount and
// the key: about 20 bytes a line, the shortest the goal of at most 0.30 s
// of user CPU per GiB is set for.
int SheetLine(char* p, size_t cb, bool bShort, const char* pszEnd) {
    static const char* const kapszName[] = {
        "\216R\223c",    "\215\262\223\241", "\227\351\226\330", "\215\202\213\264",
        "\223c\222\206", "\223n\225\323",    "\210\311\223\241", "\222\206\221\272"};
    static const char* const kapszTown[] = {"\223\214\213\236\223s\215`\213\346",
                                            "\221\345\215\343\216s\226k\213\346",
                                            "\213\236\223s\216s",
                                            "\216D\226y\216s\222\206\211\233\213\346",
                                            "\225\237\211\252\216s",
                                            "\220\354\214\247\211\241\225l\216s",
                                            "\226\274\214\303\211\256\216s",
                                            "\223\337\224e\216s"};
    static const char* const kapszWord[] = {"abc", "N/A", "-", "\226\242"};
    static unsigned long long x = 2463534242ull;  // xorshift64
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const unsigned r = static_cast<unsigned>(x >> 32);
    const unsigned nKey = r % 20;
    char szKey[16] = "";
    if (nKey >= 12)  // 40 %: a number, a quarter of them with an empty column after it
        std::snprintf(szKey, sizeof szKey, nKey >= 18 ? "%u," : "%u", 1 + (r >> 5) % 99999);
    else if (nKey >= 9)  // 15 %: a word
        std::strcpy(szKey, kapszWord[(r >> 5) % 4]);
    else if (nKey >= 6)  // 15 %: 0
        std::strcpy(szKey, "0");
    // else 30 %: empty
    if (bShort)
        return std::snprintf(p, cb, "%05u,%s,%u,%s%s", (r >> 8) % 100000, kapszName[(r >> 13) % 8],
                             static_cast<unsigned>(1000 + (x >> 8) % 9000), szKey, pszEnd);
    return std::snprintf(p, cb, "%u,%s,%s,%04u/%02u/%02u,%u,%s%s", (r >> 8) % 1000000,
                         kapszName[(r >> 13) % 8], kapszTown[(r >> 16) % 8], 2020 + (r >> 19) % 6,
                         1 + (r >> 22) % 12, 1 + (r >> 26) % 28,
                         static_cast<unsigned>(1000 + (x >> 8) % 999000), szKey, pszEnd);
}

size_t FillSheet(char* p, size_t cb) {
    return FillLines(p, cb,
                     [](char* q, size_t cbLine) { return SheetLine(q, cbLine, false, "\r\n"); });
}

size_t FillSheetLf(char* p, size_t cb) {
    return FillLines(p, cb,
                     [](char* q, size_t cbLine) { return SheetLine(q, cbLine, false, "\n"); });
}

size_t FillShortSheet(char* p, size_t cb) {
    return FillLines(p, cb,
                     [](char* q, size_t cbLine) { return SheetLine(q, cbLine, true, "\r\n"); });
}

size_t FillOneLine(char* p, size_t cb) {
    std::memset(p, 'x', cb);
    return cb;
}

size_t FillLineFeeds(char* p, size_t cb) {
    std::memset(p, '\n', cb);
    return cb;
}

struct Shape {
    const char* pszId;  // for --shapes
    const char* pszName;
    size_t (*pfnFill)(char*, size_t);
    unsigned long long cbMax;  // at most this much of --size
    // The limit copies a file as large as skconv's output over the input:
    // for output much larger than its input.
    bool bOutputSizedLimit;
};

const Shape kShapes[] = {
    {"records", "records, CR LF", FillRecords, ~0ull, false},
    {"short-lf", "short LF records, cp932", FillShortLf, ~0ull, false},
    {"sheet", "sheet records, CR LF", FillSheet, ~0ull, false},
    {"sheet-lf", "sheet records, LF", FillSheetLf, ~0ull, false},
    {"short-sheet", "short sheet, CR LF", FillShortSheet, ~0ull, false},
    {"one-line", "one line", FillOneLine, 256ull << 20, false},
    {"line-feeds", "only line feeds", FillLineFeeds, 256ull << 20, true},
};

// Whether the comma-separated list names the shape (an empty list names all).
bool Chosen(const std::string& list, const char* pszId) {
    if (list.empty())
        return true;
    const std::string padded = "," + list + ",";
    return padded.find("," + std::string(pszId) + ",") != std::string::npos;
}

double TvSeconds(const struct timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

struct Run {
    double dSeconds;
    double dUser;
    double dSys;
    long lPeakKiB;
};

// A copy to a new name, flushed: the fresh input of a step.
void Copy(const std::string& from, const std::string& to) {
    ::unlink(to.c_str());
    const int in = ::open(from.c_str(), O_RDONLY);
    if (in < 0)
        Die("cannot open", from);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (out < 0)
        Die("cannot create", to);
    static char buf[kChunk];
    for (;;) {
        const ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0)
            Die("cannot read", from);
        if (n == 0)
            break;
        if (::write(out, buf, static_cast<size_t>(n)) != n)
            Die("cannot write", to);
    }
    if (::fsync(out) != 0 || ::close(out) != 0 || ::close(in) != 0)
        Die("cannot finish", to);
}

// Runs a program to its end with its output thrown away; its time, CPU
// and peak memory.
Run Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        Die("cannot start", args[0]);
    int status = 0;
    struct rusage ru;
    if (::wait4(pid, &status, 0, &ru) != pid)
        Die("cannot wait for", args[0]);
    const double d = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "convert_bench: %s failed\n", args[0].c_str());
        std::exit(1);
    }
    return {d, TvSeconds(ru.ru_utime), TvSeconds(ru.ru_stime), ru.ru_maxrss};
}

unsigned long long FileSize(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        Die("cannot stat", path);
    return static_cast<unsigned long long>(st.st_size);
}

struct Round {
    bool bLimitFirst;
    Run dd, mv;  // the limit's two steps, one after the other
    Run pass;
    Run ddAlone, mvAlone;
    double Limit() const { return dd.dSeconds + mv.dSeconds; }
    double Alone() const { return ddAlone.dSeconds + mvAlone.dSeconds; }
    double Ratio() const { return pass.dSeconds / Limit(); }
    bool Flagged() const { return std::fabs(Limit() - Alone()) > kLimitTolerance * Alone(); }
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

class Bench {
public:
    Bench(const std::string& folder, const std::string& skconv, double dSettle)
        : m_skconv(skconv),
          m_dSettle(dSettle),
          m_pristine(folder + "/pristine.csv"),
          m_pristineOut(folder + "/pristine-out.csv"),
          m_data(folder + "/data.csv"),
          m_source(folder + "/source.csv"),
          m_new(folder + "/new.csv") {}

    // The rounds of one shape; the first is not counted.
    std::vector<Round> Measure(const Shape& shape, unsigned long long cb, int cRounds,
                               unsigned long long* pcbOut);
    void Clean() {
        for (const std::string* p : {&m_pristine, &m_pristineOut, &m_data, &m_source, &m_new})
            ::unlink(p->c_str());
    }

private:
    // Every file the step needs is on the disk, and the disk has had a moment.
    void Settle() const {
        ::sync();
        std::this_thread::sleep_for(std::chrono::duration<double>(m_dSettle));
    }
    const std::string& LimitSource() const { return m_bOutputSized ? m_source : m_data; }
    // The limit's source copied, and for an output-sized limit the input it replaces.
    void FreshLimit() {
        Copy(m_pristine, m_data);
        if (m_bOutputSized)
            Copy(m_pristineOut, m_source);
        Settle();
    }
    Run Dd() {
        return Spawn(
            {"dd", "if=" + LimitSource(), "of=" + m_new, "bs=1M", "conv=fsync", "status=none"});
    }
    Run Mv() { return Spawn({"mv", m_new, m_data}); }
    void Limit(Round* pRound) {
        FreshLimit();
        pRound->dd = Dd();
        pRound->mv = Mv();
    }
    void Pass(Round* pRound) {
        Copy(m_pristine, m_data);
        Settle();
        pRound->pass = Spawn({m_skconv, m_data});
    }

    const std::string m_skconv;
    const double m_dSettle;
    const std::string m_pristine, m_pristineOut, m_data, m_source, m_new;
    bool m_bOutputSized = false;
};

std::vector<Round> Bench::Measure(const Shape& shape, unsigned long long cb, int cRounds,
                                  unsigned long long* pcbOut) {
    Clean();
    Generate(m_pristine, cb, shape.pfnFill);
    m_bOutputSized = shape.bOutputSizedLimit;
    // skconv's output, untimed: its size, and the file an output-sized limit copies.
    Copy(m_pristine, m_data);
    Spawn({m_skconv, m_data});
    *pcbOut = FileSize(m_data);
    if (::rename(m_data.c_str(), m_pristineOut.c_str()) != 0)
        Die("cannot rename", m_data);
    if (!m_bOutputSized)
        ::unlink(m_pristineOut.c_str());
    std::vector<Round> rounds;
    for (int i = 0; i <= cRounds; ++i) {
        Round r;
        r.bLimitFirst = i % 2 == 1;
        // dd alone, and mv alone over a file as large as the one the limit
        // replaces, first: a step right after skconv's was slower here,
        // whatever came between, so only the limit may meet that.
        FreshLimit();
        r.ddAlone = Dd();
        ::unlink(m_new.c_str());
        Copy(m_bOutputSized ? m_pristineOut : m_pristine, m_new);
        Copy(m_pristine, m_data);
        Settle();
        r.mvAlone = Mv();
        if (r.bLimitFirst) {
            Limit(&r);
            Pass(&r);
        } else {
            Pass(&r);
            Limit(&r);
        }
        if (i == 0)
            continue;  // the memory and the disk warmed up
        rounds.push_back(r);
        std::printf(
            "  round %d, %s first: limit %5.2f s (dd %5.2f + mv %4.2f), alone dd %5.2f + mv "
            "%4.2f; skconv %5.2f s (user %4.2f, system %4.2f): %.2fx%s\n",
            i, r.bLimitFirst ? "limit " : "skconv", r.Limit(), r.dd.dSeconds, r.mv.dSeconds,
            r.ddAlone.dSeconds, r.mvAlone.dSeconds, r.pass.dSeconds, r.pass.dUser, r.pass.dSys,
            r.Ratio(), r.Flagged() ? "  FLAGGED: limit far from dd + mv alone, left out" : "");
        std::fflush(stdout);
    }
    Clean();
    return rounds;
}

struct Summary {
    const char* pszName;
    unsigned long long cbIn, cbOut;
    int cRounds, cKept;
    double dMedian, dMin, dMax;
    double dUserPerGiB;
    long lPeakKiB;
};

Summary Summarize(const Shape& shape, const std::vector<Round>& rounds, unsigned long long cbIn,
                  unsigned long long cbOut) {
    std::vector<double> ratios, users;
    long lPeak = 0;
    for (const Round& r : rounds) {
        users.push_back(r.pass.dUser);
        lPeak = std::max(lPeak, r.pass.lPeakKiB);
        if (!r.Flagged())
            ratios.push_back(r.Ratio());
    }
    Summary s = {shape.pszName,
                 cbIn,
                 cbOut,
                 static_cast<int>(rounds.size()),
                 static_cast<int>(ratios.size()),
                 Median(ratios),
                 0,
                 0,
                 0,
                 lPeak};
    if (!ratios.empty()) {
        s.dMin = *std::min_element(ratios.begin(), ratios.end());
        s.dMax = *std::max_element(ratios.begin(), ratios.end());
    }
    s.dUserPerGiB = Median(users) * (1 << 30) / static_cast<double>(cbIn);
    return s;
}

void PrintLoad(const char* pszWhen) {
    double adLoad[3] = {0, 0, 0};
    ::getloadavg(adLoad, 3);
    std::printf("load average %.2f %.2f %.2f %s\n", adLoad[0], adLoad[1], adLoad[2], pszWhen);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long cMiB = 1024;
    int cRounds = 6;
    double dSettle = 2.0;
    std::string dir = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
    std::string skconv = SKCONV_PATH;
    std::string shapes;
    for (int i = 1; i < argc; i += 2) {
        const char* pszValue = i + 1 < argc ? argv[i + 1] : nullptr;
        if (pszValue != nullptr && std::strcmp(argv[i], "--size") == 0) {
            cMiB = std::strtoull(pszValue, nullptr, 10);
        } else if (pszValue != nullptr && std::strcmp(argv[i], "--rounds") == 0) {
            cRounds = std::atoi(pszValue);
        } else if (pszValue != nullptr && std::strcmp(argv[i], "--dir") == 0) {
            dir = pszValue;
        } else if (pszValue != nullptr && std::strcmp(argv[i], "--settle") == 0) {
            dSettle = std::atof(pszValue);
        } else if (pszValue != nullptr && std::strcmp(argv[i], "--skconv") == 0) {
            skconv = pszValue;
        } else if (pszValue != nullptr && std::strcmp(argv[i], "--shapes") == 0) {
            shapes = pszValue;
        } else {
            std::string ids;
            for (const Shape& shape : kShapes)
                ids += (ids.empty() ? "" : ",") + std::string(shape.pszId);
            std::fprintf(stderr,
                         "usage: convert_bench [--size MiB] [--rounds N] [--dir FOLDER] "
                         "[--settle SECONDS] [--shapes %s] [--skconv PATH]\n",
                         ids.c_str());
            return 2;
        }
    }
    cRounds = std::max(cRounds, 1);
    cMiB = std::max(cMiB, 1ull);
    const std::string folder = dir + "/convert_bench." + std::to_string(::getpid());
    if (::mkdir(folder.c_str(), 0700) != 0)
        Die("cannot create", folder);

    struct utsname un;
    ::uname(&un);
    std::printf("%s %s, %ld processors, %d rounds a shape (after an untimed one), in %s\n",
                un.sysname, un.release, ::sysconf(_SC_NPROCESSORS_ONLN), cRounds, folder.c_str());
    PrintLoad("at the start");
    Bench bench(folder, skconv, dSettle);
    std::vector<Summary> summaries;
    for (const Shape& shape : kShapes) {
        if (!Chosen(shapes, shape.pszId))
            continue;
        const unsigned long long cb = std::min(cMiB << 20, shape.cbMax);
        std::printf("\n%s, %llu MiB:\n", shape.pszName, cb >> 20);
        std::fflush(stdout);
        unsigned long long cbOut = 0;
        const std::vector<Round> rounds = bench.Measure(shape, cb, cRounds, &cbOut);
        summaries.push_back(Summarize(shape, rounds, cb, cbOut));
        PrintLoad("after it");
    }
    ::rmdir(folder.c_str());

    std::printf(
        "\nskconv / limit, per round (limit: dd conv=fsync + mv; for only line feeds, of a file "
        "as large as skconv's output):\n");
    std::printf("  %-24s %7s %7s %6s %7s %13s %10s %8s\n", "shape", "MiB", "out", "kept", "median",
                "spread", "user/GiB", "peak");
    for (const Summary& s : summaries) {
        char szRatios[64] = "    no round kept";
        if (s.cKept > 0)
            std::snprintf(szRatios, sizeof szRatios, "%6.2fx %5.2fx-%5.2fx", s.dMedian, s.dMin,
                          s.dMax);
        std::printf("  %-24s %7llu %7llu %3d/%-2d %s %8.3f s %5ld KiB\n", s.pszName, s.cbIn >> 20,
                    s.cbOut >> 20, s.cKept, s.cRounds, szRatios, s.dUserPerGiB, s.lPeakKiB);
    }
    PrintLoad("at the end");
    return 0;
}
