// A conversion killed at any moment: the file under the user's name must be
// byte for byte the original or byte for byte the converted text. A work file
// left by the killed process must make the next conversion fail without
// touching either file, and the file converts once it is removed.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "temp_folder.h"

namespace {

using std::string;
using Clock = std::chrono::steady_clock;

const int kKills = 30;

string Records(size_t cbTotal) {
    string s;
    s.reserve(cbTotal + 128);
    for (unsigned long n = 1; s.size() < cbTotal; ++n) {
        s += std::to_string(n) + ",Shinagawa-ku " + std::to_string(n % 113) + ",";
        s += n % 4 == 0 ? "" : n % 4 == 1 ? "0" : std::to_string(n);
        s += n % 2 ? "\r\n" : "\n";
    }
    return s;
}

struct Outcome {
    bool bKilled;  // false: it ended before the signal came
    int nExit;
};

// Runs skconv on path; kills it after delay unless delay is negative.
Outcome RunSkconv(const string& path, double dDelaySeconds, double* pdSeconds = nullptr) {
    const Clock::time_point t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fdNull = ::open("/dev/null", O_WRONLY);
        ::dup2(fdNull, 1);
        ::dup2(fdNull, 2);
        ::execl(SKCONV_PATH, "skconv", path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (dDelaySeconds >= 0) {
        std::this_thread::sleep_until(t0 + std::chrono::duration<double>(dDelaySeconds));
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (pdSeconds != nullptr)
        *pdSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    if (WIFSIGNALED(status))
        return {true, -1};
    return {false, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(KilledPass, LeavesTheOriginalOrTheConvertedFileWhole) {
    TempFolder dir;
    const string original = Records(50u << 20);
    WriteBytes(dir / "pristine.csv", original);

    // An uninterrupted pass gives the converted text and the time to spread the kills over.
    ASSERT_EQ(0, ::mkdir((dir / "ref").c_str(), 0700));
    std::filesystem::copy_file(dir / "pristine.csv", dir / "ref/data.csv");
    double dPass = 0;
    ASSERT_EQ(0, RunSkconv(dir / "ref/data.csv", -1, &dPass).nExit);
    const string converted = ReadBytes(dir / "ref/data.csv");
    ASSERT_NE(original, converted);
    std::printf("an uninterrupted pass over %zu MB takes %.3f s\n", original.size() >> 20, dPass);

    std::map<string, int> seen;
    int nKilled = 0;
    for (int i = 0, nTries = 0; nKilled < kKills && nTries < 3 * kKills; ++nTries) {
        // From just after the start to just before the end.
        const double dDelay = dPass * (0.002 + 0.996 * i / (kKills - 1));
        const string run = dir / ("run" + std::to_string(nTries));
        ASSERT_EQ(0, ::mkdir(run.c_str(), 0700));
        std::filesystem::copy_file(dir / "pristine.csv", run + "/data.csv");
        double dRun = 0;
        const Outcome o = RunSkconv(run + "/data.csv", dDelay, &dRun);
        const string what = "kill " + std::to_string(i) + " after " + std::to_string(dDelay) + " s";
        if (o.bKilled) {
            ++nKilled;
            ++i;
        } else {
            dPass = dRun;  // this pass was quicker: aim the rest of the kills at its length
        }

        const string now = ReadBytes(run + "/data.csv");
        const bool bOriginal = now == original;
        ASSERT_TRUE(bOriginal || now == converted)
            << what << ": the file is neither the original nor the converted text";
        const bool bWorkLeft = Exists(run + "/workfile.txt");
        ++seen[!o.bKilled   ? "ended before the kill"
               : !bOriginal ? "converted"
               : bWorkLeft  ? "original, work file left"
                            : "original"];
        if (bWorkLeft) {
            ASSERT_TRUE(bOriginal) << what << ": a work file beside a converted file";
            const string work = ReadBytes(run + "/workfile.txt");
            EXPECT_EQ(1, RunSkconv(run + "/data.csv", -1).nExit)
                << what << ": converted beside a leftover work file";
            EXPECT_EQ(original, ReadBytes(run + "/data.csv")) << what;
            EXPECT_EQ(work, ReadBytes(run + "/workfile.txt"))
                << what << ": the leftover work file changed";
            ASSERT_EQ(0, ::unlink((run + "/workfile.txt").c_str()));
        }
        if (bOriginal) {
            ASSERT_EQ(0, RunSkconv(run + "/data.csv", -1).nExit) << what;
            EXPECT_TRUE(ReadBytes(run + "/data.csv") == converted)
                << what << ": the retry converted wrongly";
        }
        int nEntries = 0;
        for (const auto& entry : std::filesystem::directory_iterator(run)) {
            EXPECT_EQ("data.csv", entry.path().filename().string()) << what;
            ++nEntries;
        }
        EXPECT_EQ(1, nEntries) << what;
        std::filesystem::remove_all(run);
    }
    std::printf("%d kills landed during a pass:", nKilled);
    for (const auto& s : seen)
        std::printf(" %s %d;", s.first.c_str(), s.second);
    std::printf("\n");
    EXPECT_GE(nKilled, 20) << "too few kills landed during the pass";
    EXPECT_GT(seen["original, work file left"], 0)
        << "no kill landed while the work file was written";
}

}  // namespace
