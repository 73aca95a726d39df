// Speed and memory of a conversion next to the least a durable replace of
// the same file can do, and next to what a user would otherwise run.
//
//   convert_bench [--size MiB] [--rounds N] [--dir FOLDER] [--skconv PATH]
//
// Generates a comma-separated file (1 GiB by default) and measures, in
// alternating rounds, each step on a fresh copy of it, every one a program
// of its own started the same way:
//   - the limit: dd bs=1M conv=fsync to a new name, then mv over the
//     original, the least a durable replace does with the standard tools;
//   - dd alone, without the rename;
//   - skconv's pass;
//   - the limit again on skconv's output, which is larger than its input:
//     the least a durable replace of a file that size does;
//   - GNU sed -i with a trivial edit (it does not flush);
//   - an awk script doing the conversion into a new file, then mv.
// It prints the median time of each, its user and system CPU, and its
// ratio to the limit, then for two shapes that are hard on a line-based
// reader (one huge line; nothing but line feeds, each of which becomes a
// numbered line) skconv's pass against the limit on a file as large as
// that pass's output, and skconv's peak memory for each input.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/utsname.h>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const size_t kChunk = 1 << 20;  // dd bs=1M

[[noreturn]] void Die(const char* pszWhat, const std::string& path) {
    std::fprintf(stderr, "convert_bench: %s %s: %s\n", pszWhat, path.c_str(), std::strerror(errno));
    std::exit(1);
}

double Seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Writes cb bytes made by pfnFill, which fills a buffer and returns how much it filled.
template <class Fill>
void Generate(const std::string& path, unsigned long long cb, Fill fill) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        Die("cannot create", path);
    static char buf[kChunk];
    while (cb > 0) {
        size_t n = fill(buf, sizeof buf);
        if (n > cb)
            n = static_cast<size_t>(cb);
        if (::write(fd, buf, n) != static_cast<ssize_t>(n))
            Die("cannot write", path);
        cb -= n;
    }
    if (::close(fd) != 0)
        Die("cannot close", path);
}

// Typical records: some keys present, some empty, some zero; CR LF endings.
size_t FillRecords(char* p, size_t cb) {
    static unsigned long long n = 0;
    size_t used = 0;
    char line[128];
    for (;;) {
        ++n;
        const char* pszKey = n % 3 == 0 ? "" : n % 3 == 1 ? "0" : "4711";
        const int cch = std::snprintf(line, sizeof line,
                                      "%llu,Tokyo Minato-ku Shiba 3-%llu,customer %llu,%s\r\n", n,
                                      n % 97, n * 7919 % 100000, pszKey);
        if (used + static_cast<size_t>(cch) > cb)
            return used;
        std::memcpy(p + used, line, static_cast<size_t>(cch));
        used += static_cast<size_t>(cch);
    }
}

size_t FillOneLine(char* p, size_t cb) {
    std::memset(p, 'x', cb);
    return cb;
}

size_t FillLineFeeds(char* p, size_t cb) {
    std::memset(p, '\n', cb);
    return cb;
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

// A copy to a new name in kChunk blocks, not flushed: the fresh input of a step.
void Copy(const std::string& from, const std::string& to) {
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
    if (::close(out) != 0 || ::close(in) != 0)
        Die("cannot finish", to);
}

// Runs a program to its end with its output thrown away; its time, CPU
// (its children's included) and peak memory.
Run Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        Die("cannot start", args[0]);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    struct rusage ru;
    if (::wait4(pid, &status, 0, &ru) != pid)
        Die("cannot wait for", args[0]);
    const double d = Seconds(t0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "convert_bench: %s failed\n", args[0].c_str());
        std::exit(1);
    }
    return {d, TvSeconds(ru.ru_utime), TvSeconds(ru.ru_stime), ru.ru_maxrss};
}

Run Sum(const Run& a, const Run& b) {
    return {a.dSeconds + b.dSeconds, a.dUser + b.dUser, a.dSys + b.dSys,
            a.lPeakKiB > b.lPeakKiB ? a.lPeakKiB : b.lPeakKiB};
}

// dd to a new name, flushed to disk; with pOver, then mv over that file.
Run DdCopy(const std::string& from, const std::string& to, const std::string* pOver = nullptr) {
    const Run dd = Spawn({"dd", "if=" + from, "of=" + to, "bs=1M", "conv=fsync", "status=none"});
    return pOver != nullptr ? Sum(dd, Spawn({"mv", to, *pOver})) : dd;
}

// The conversion as a user might script it: awk into a new file, then mv.
// Close to the line rule (awk's numbers are not atoi's in every corner).
const char kAwkScript[] =
    "BEGIN { n = 99 }\n"
    "{ n++; line = $0; sub(/\\r$/, \"\", line); key = line; sub(/,$/, \"\", key);\n"
    "  sub(/.*,/, \"\", key); if (key + 0 == 0) line = line n; printf \"%s\\r\\n\", line }\n";

double Mbps(unsigned long long cb, double dSeconds) {
    return static_cast<double>(cb) / 1e6 / dSeconds;
}

Run Median(std::vector<Run> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.dSeconds < b.dSeconds; });
    return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long cMiB = 1024;
    int cRounds = 5;
    std::string dir = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
    std::string skconv = SKCONV_PATH;
    for (int i = 1; i < argc; i += 2) {
        const char* pszValue = i + 1 < argc ? argv[i + 1] : nullptr;
        if (pszValue != nullptr && std::strcmp(argv[i], "--size") == 0) {
            cMiB = std::strtoull(pszValue, nullptr, 10);
        } else if (pszValue != nullptr && std::strcmp(argv[i], "--rounds") == 0) {
            cRounds = std::atoi(pszValue);
        } else if (pszValue != nullptr && std::strcmp(argv[i], "--dir") == 0) {
            dir = pszValue;
        } else if (pszValue != nullptr && std::strcmp(argv[i], "--skconv") == 0) {
            skconv = pszValue;
        } else {
            std::fprintf(
                stderr,
                "usage: convert_bench [--size MiB] [--rounds N] [--dir FOLDER] [--skconv PATH]\n");
            return 2;
        }
    }
    if (cRounds < 1)
        cRounds = 1;
    const std::string folder = dir + "/convert_bench." + std::to_string(::getpid());
    if (::mkdir(folder.c_str(), 0700) != 0)
        Die("cannot create", folder);
    const std::string pristine = folder + "/pristine.csv";
    const std::string data = folder + "/data.csv";
    const std::string copy = folder + "/copy.csv";
    const unsigned long long cb = cMiB << 20;
    const std::string awkScript = folder + "/convert.awk";
    {
        const int fd = ::open(awkScript.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 ||
            ::write(fd, kAwkScript, sizeof kAwkScript - 1) !=
                static_cast<ssize_t>(sizeof kAwkScript - 1) ||
            ::close(fd) != 0)
            Die("cannot write", awkScript);
    }
    const std::string awkCommand = "awk -f '" + awkScript + "' '" + data + "' > '" + copy +
                                   "' && mv '" + copy + "' '" + data + "'";

    struct utsname un;
    ::uname(&un);
    double adLoad[3] = {0, 0, 0};
    ::getloadavg(adLoad, 3);
    std::printf("%s %s, %ld processors, load average %.2f %.2f %.2f at the start\n", un.sysname,
                un.release, ::sysconf(_SC_NPROCESSORS_ONLN), adLoad[0], adLoad[1], adLoad[2]);
    std::printf("generating %llu MiB of records in %s\n", cMiB, folder.c_str());
    Generate(pristine, cb, FillRecords);

    // Rounds alternate so that no step profits from another's write-back;
    // each starts from a fresh copy of the input with nothing dirty. Every
    // timed step writes one new file while the same files exist, and ends
    // with the input's name taken by a file as large as the input, so that
    // every step finds the same free memory and pays for freeing the same
    // blocks. An untimed round first warms that memory. The disk's speed
    // varies from one step to the next: compare medians.
    enum { kLimit, kDdAlone, kPass, kLimitOut, kSed, kAwk, kSteps };
    const char* const apszStep[kSteps] = {"dd conv=fsync, then mv over (limit)",
                                          "dd conv=fsync alone (no rename)",
                                          "skconv",
                                          "dd conv=fsync + mv, output's size",
                                          "GNU sed -i, trivial edit (no flush)",
                                          "awk into a new file, then mv (no flush)"};
    std::vector<Run> runs[kSteps];
    const std::string victim = folder + "/victim.csv";
    auto fresh = [&](const std::string& to) {
        Copy(pristine, to);
        ::sync();
    };
    unsigned long long cbOut = 0;
    for (int round = 0; round <= cRounds; ++round) {
        Run r[kSteps];
        fresh(data);
        r[kLimit] = DdCopy(data, copy, &data);
        ::sync();
        r[kDdAlone] = DdCopy(data, copy);
        ::unlink(copy.c_str());
        ::sync();
        r[kPass] = Spawn({skconv, data});
        struct stat st;
        if (::stat(data.c_str(), &st) != 0)
            Die("cannot stat", data);
        cbOut = static_cast<unsigned long long>(st.st_size);
        // skconv's output replacing a file as large as its input.
        fresh(victim);
        r[kLimitOut] = DdCopy(data, copy, &victim);
        ::unlink(victim.c_str());
        ::unlink(data.c_str());
        fresh(data);
        r[kSed] = Spawn({"sed", "-i", "s/^x//", data});
        ::unlink(data.c_str());
        fresh(data);
        r[kAwk] = Spawn({"sh", "-c", awkCommand});
        ::unlink(data.c_str());
        if (round == 0)
            continue;
        std::printf("round %d:", round);
        for (int i = 0; i < kSteps; ++i) {
            runs[i].push_back(r[i]);
            std::printf(" %.2f s", r[i].dSeconds);
        }
        std::printf("\n");
    }
    ::unlink(pristine.c_str());
    ::unlink(awkScript.c_str());
    Run med[kSteps];
    for (int i = 0; i < kSteps; ++i)
        med[i] = Median(runs[i]);
    std::printf("\nmedian of %d rounds, %llu MiB of records (skconv's output %llu MiB):\n", cRounds,
                cMiB, cbOut >> 20);
    std::printf("  %-50s %7s %8s %7s %7s %6s\n", "", "time", "MB/s", "user", "system", "ratio");
    for (int i = 0; i < kSteps; ++i) {
        std::printf("  %-50s %6.2fs %8.1f %6.2fs %6.2fs %5.2fx\n", apszStep[i], med[i].dSeconds,
                    Mbps(cb, med[i].dSeconds), med[i].dUser, med[i].dSys,
                    med[i].dSeconds / med[kLimit].dSeconds);
    }
    long lPeakKiB = 0;
    for (const Run& r : runs[kPass])
        lPeakKiB = r.lPeakKiB > lPeakKiB ? r.lPeakKiB : lPeakKiB;
    const double dGiB = static_cast<double>(cb) / (1 << 30);
    std::printf(
        "  skconv: %.2fx the limit on its output's size, user CPU %.3f s per GiB, peak memory "
        "%ld KiB\n",
        med[kPass].dSeconds / med[kLimitOut].dSeconds, med[kPass].dUser / dGiB, lPeakKiB);

    // The shapes that would make a line-based reader grow, each against the
    // limit on a file as large as skconv's output for it.
    const unsigned long long cbShape = (cMiB < 256 ? cMiB : 256) << 20;
    struct {
        const char* pszName;
        size_t (*pfnFill)(char*, size_t);
    } const kShapes[] = {{"one line", FillOneLine}, {"only line feeds", FillLineFeeds}};
    std::printf("\nhard shapes, %llu MiB each, median of %d rounds:\n", cbShape >> 20, cRounds);
    for (const auto& shape : kShapes) {
        std::vector<Run> passes, limits;
        for (int round = 0; round < cRounds; ++round) {
            Generate(data, cbShape, shape.pfnFill);
            ::sync();
            passes.push_back(Spawn({skconv, data}));
            struct stat st;
            if (::stat(data.c_str(), &st) != 0)
                Die("cannot stat", data);
            cbOut = static_cast<unsigned long long>(st.st_size);
            Generate(victim, cbShape, shape.pfnFill);
            ::sync();
            limits.push_back(DdCopy(data, copy, &victim));
            ::unlink(victim.c_str());
            ::unlink(data.c_str());
            ::sync();
        }
        long lShapePeak = 0;
        for (const Run& r : passes)
            lShapePeak = r.lPeakKiB > lShapePeak ? r.lPeakKiB : lShapePeak;
        const Run pass = Median(passes), limit = Median(limits);
        std::printf(
            "  %-16s output %5llu MiB: limit %6.2f s, skconv %6.2f s (user %.2f s, "
            "system %.2f s), %.2fx, peak memory %ld KiB\n",
            shape.pszName, cbOut >> 20, limit.dSeconds, pass.dSeconds, pass.dUser, pass.dSys,
            pass.dSeconds / limit.dSeconds, lShapePeak);
    }
    ::getloadavg(adLoad, 3);
    std::printf("load average %.2f %.2f %.2f at the end\n", adLoad[0], adLoad[1], adLoad[2]);
    ::rmdir(folder.c_str());
    return 0;
}
