// Speed and memory of a conversion next to a plain copy of the same file.
//
//   convert_bench [--size MiB] [--rounds N] [--dir FOLDER] [--skconv PATH]
//
// Generates a comma-separated file (1 GiB by default), copies it with 64 KiB
// reads and writes (once plainly, once flushed to disk as the conversion
// does), then converts it with the console front end in a child process, in
// alternating rounds, and prints the MB/s and CPU time of each and the
// converter's peak memory. Then it measures the
// peak memory for inputs that are hard on a line-based reader: one huge line, and nothing but line
// feeds (every byte becomes a whole numbered line).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const size_t kChunk = 64 * 1024;

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

double CpuSeconds(const struct rusage& ru) {
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct Run {
    double dSeconds;
    double dCpuSeconds;
    long lPeakKiB;
};

Run Copy(const std::string& from, const std::string& to, bool bFlush) {
    struct rusage ru0;
    ::getrusage(RUSAGE_SELF, &ru0);
    const auto t0 = std::chrono::steady_clock::now();
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
    if ((bFlush && ::fsync(out) != 0) || ::close(out) != 0 || ::close(in) != 0)
        Die("cannot finish", to);
    const double d = Seconds(t0);
    struct rusage ru1;
    ::getrusage(RUSAGE_SELF, &ru1);
    return {d, CpuSeconds(ru1) - CpuSeconds(ru0), 0};
}

Run Convert(const std::string& skconv, const std::string& path) {
    const auto t0 = std::chrono::steady_clock::now();
    const char* argv[] = {skconv.c_str(), path.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    if (posix_spawn(&pid, skconv.c_str(), &actions, nullptr, const_cast<char**>(argv), environ) !=
        0)
        Die("cannot start", skconv);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    struct rusage ru;
    if (::wait4(pid, &status, 0, &ru) != pid)
        Die("cannot wait for", skconv);
    const double d = Seconds(t0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "convert_bench: %s failed on %s\n", skconv.c_str(), path.c_str());
        std::exit(1);
    }
    return {d, CpuSeconds(ru), ru.ru_maxrss};
}

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

    std::printf("generating %llu MiB of records in %s\n", cMiB, folder.c_str());
    Generate(pristine, cb, FillRecords);
    // Rounds alternate so that no side profits from another's write-back,
    // and each step starts with nothing dirty. Each timed step writes a new
    // file of the same size while the same files exist, and the file it
    // wrote is removed before the next step; so every step finds the same
    // free memory (on a virtual machine, fresh memory costs far more to write
    // to than memory just freed). An untimed round first warms that memory.
    // The disk's speed varies from one step to the next, so the medians are
    // what to compare.
    std::vector<Run> copies, flushed, convs;
    for (int round = 0; round <= cRounds; ++round) {
        (void)Copy(pristine, data, false);  // the conversion's input
        ::sync();
        const Run plain = Copy(pristine, copy, false);
        ::unlink(copy.c_str());
        ::sync();
        const Run flush = Copy(pristine, copy, true);
        ::unlink(copy.c_str());
        ::sync();
        const Run conv = Convert(skconv, data);
        ::unlink(data.c_str());
        if (round == 0)
            continue;
        copies.push_back(plain);
        flushed.push_back(flush);
        convs.push_back(conv);
        std::printf(
            "round %d: plain copy %6.2f s, copy flushed to disk %6.2f s, conversion %6.2f s\n",
            round, plain.dSeconds, flush.dSeconds, conv.dSeconds);
    }
    ::unlink(pristine.c_str());
    const Run copyMed = Median(copies), flushedMed = Median(flushed), convMed = Median(convs);
    std::printf("median of %d rounds, %llu MiB:\n", cRounds, cMiB);
    std::printf("  plain copy             %7.1f MB/s  %6.2f s  cpu %5.2f s\n",
                Mbps(cb, copyMed.dSeconds), copyMed.dSeconds, copyMed.dCpuSeconds);
    std::printf("  copy flushed to disk   %7.1f MB/s  %6.2f s  cpu %5.2f s\n",
                Mbps(cb, flushedMed.dSeconds), flushedMed.dSeconds, flushedMed.dCpuSeconds);
    std::printf("  conversion (flushed)   %7.1f MB/s  %6.2f s  cpu %5.2f s\n",
                Mbps(cb, convMed.dSeconds), convMed.dSeconds, convMed.dCpuSeconds);
    std::printf(
        "  the conversion takes %.2fx the time of the flushed copy, %.2fx that of the plain copy\n",
        convMed.dSeconds / flushedMed.dSeconds, convMed.dSeconds / copyMed.dSeconds);
    long lPeakKiB = 0;
    for (const Run& r : convs)
        lPeakKiB = r.lPeakKiB > lPeakKiB ? r.lPeakKiB : lPeakKiB;
    std::printf("  converter peak memory %ld KiB\n", lPeakKiB);

    // Peak memory for shapes that would make a line-based reader grow.
    const unsigned long long cbShape = (cMiB < 256 ? cMiB : 256) << 20;
    struct {
        const char* pszName;
        size_t (*pfnFill)(char*, size_t);
    } const kShapes[] = {{"one line", FillOneLine}, {"only line feeds", FillLineFeeds}};
    for (const auto& shape : kShapes) {
        Generate(data, cbShape, shape.pfnFill);
        const Run r = Convert(skconv, data);
        ::unlink(data.c_str());
        std::printf("%-16s %4llu MiB: %8.1f MB/s, peak memory %ld KiB\n", shape.pszName,
                    cbShape >> 20, Mbps(cbShape, r.dSeconds), r.lPeakKiB);
    }
    ::rmdir(folder.c_str());
    return 0;
}
