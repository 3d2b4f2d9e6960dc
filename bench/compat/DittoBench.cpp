// Copies a generated mail-like tree (about 20,000 small files in 400 folders
// plus five files of 100 MB) and prints wall time and peak memory of:
//   - the first copy into an empty destination: our ditto against `cp -a`;
//   - a repeat onto the last copy with nothing changed: ours against `rsync -a`;
//   - a repeat after 1 % of the files changed: ours against `rsync -a`, and
//     ours keeping earlier versions against ours without them.
// Each pair runs alternately in this process. Everything is removed afterwards.
//   cv_bench_ditto [FOLDER]   (default: $TMPDIR or /tmp)
//
// For timing each case as a whole process with an outside tool (A and B run
// in turn, each step changing 1 % of its own source before it copies):
//   cv_bench_ditto --prepare WORK              sources and first copies
//   cv_bench_ditto --step WORK versions|plain|rsync|first-ditto|first-cp
//   cv_bench_ditto --clean WORK
// e.g. /usr/bin/time -v cv_bench_ditto --step WORK versions
#include "BackupFormat.h"
#include "UniqueFd.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char **environ;

namespace fs = std::filesystem;

namespace {

constexpr int kTopFolders = 20;
constexpr int kSubFolders = 20;        // 20 x 20 = 400 folders
constexpr int kFilesPerFolder = 50;    // 20,000 small files
constexpr int kBigFiles = 5;
constexpr size_t kBigSize = 100u * 1024 * 1024;
constexpr int kFirstRounds = 3;
constexpr int kRepeatRounds = 5;
const char *const kRsync = "/usr/bin/rsync";

struct Measure {
    double seconds = 0;
    double withFlush = 0; // until the copied data is written back too
    long peakKb = 0;
    int status = -1;
};

bool writeFile(const std::string &path, const char *data, size_t size)
{
    cv::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd)
        return false;
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd.get(), data + done, size - done);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return fd.close() == 0;
}

bool generate(const std::string &root)
{
    std::vector<char> data(kBigSize);
    unsigned x = 12345;
    for (char &c : data) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    fs::create_directory(root);
    size_t offset = 0;
    for (int t = 0; t < kTopFolders; ++t) {
        const std::string top = root + "/Account " + std::to_string(t);
        fs::create_directory(top);
        for (int s = 0; s < kSubFolders; ++s) {
            const std::string folder = top + "/Mailbox " + std::to_string(s) + ".mbox";
            fs::create_directory(folder);
            for (int f = 0; f < kFilesPerFolder; ++f) {
                const size_t size = 512 + (offset * 7919) % 16384; // 0.5 to 16.5 KB
                offset = (offset + size) % (kBigSize - 20000);
                if (!writeFile(folder + "/" + std::to_string(f) + ".emlx", data.data() + offset, size))
                    return false;
            }
        }
    }
    for (int b = 0; b < kBigFiles; ++b) {
        data[0] = char(b); // not five identical files
        if (!writeFile(root + "/Archive " + std::to_string(b) + ".mbox", data.data(), data.size()))
            return false;
    }
    return true;
}

// The process environment with `extra` ("NAME=value") added.
std::vector<char *> environmentWith(const std::string &extra)
{
    std::vector<char *> env;
    for (char **e = environ; *e; ++e)
        env.push_back(*e);
    if (!extra.empty())
        env.push_back(const_cast<char *>(extra.c_str()));
    env.push_back(nullptr);
    return env;
}

std::string runStamp(int round)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "2026-01-01-%06d", round);
    return stamp;
}

// As the engine does before and after the copy: the run's folder, and a
// journal line appended and flushed to the disk at each end.
void journalLine(const std::string &mirror, int round, bool start)
{
    const std::string line = std::string(start ? "start\t" : "end\t") + runStamp(round)
        + "\t2026-01-01T00:00:00.000Z\t" + (start ? "versions\n" : "success\n");
    const std::string journal = mirror + "/" + cv::format::kVersionsFolder + "/" + cv::format::kJournalName;
    const cv::UniqueFd fd(open(journal.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!fd || write(fd.get(), line.data(), line.size()) != ssize_t(line.size()) || fsync(fd.get()) != 0)
        std::perror("journal");
}

std::string versionsSetting(const std::string &mirror, int round)
{
    const std::string folder = mirror + "/" + cv::format::kVersionsFolder + "/" + runStamp(round);
    fs::create_directories(folder);
    journalLine(mirror, round, true);
    return std::string(cv::format::kVersionsDirVariable) + "=" + folder;
}

Measure run(const std::vector<std::string> &argv, const std::string &environment = {})
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char *> env = environmentWith(environment);
    sync(); // start every run with nothing left to write back
    Measure m;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    rusage usage{};
    int status = 0;
    wait4(pid, &status, 0, &usage);
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sync();
    m.withFlush = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakKb = usage.ru_maxrss;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m;
}

// Rewrites every hundredth small file, a different hundredth each round,
// with new bytes of the same size: 1 % of the files, as a day of mail does.
bool changeOnePercent(const std::string &root, int round)
{
    int index = 0, changed = 0;
    for (int t = 0; t < kTopFolders; ++t)
        for (int s = 0; s < kSubFolders; ++s)
            for (int f = 0; f < kFilesPerFolder; ++f, ++index) {
                if (index % 100 != round % 100)
                    continue;
                const std::string path = root + "/Account " + std::to_string(t) + "/Mailbox "
                    + std::to_string(s) + ".mbox/" + std::to_string(f) + ".emlx";
                const std::vector<char> data(size_t(fs::file_size(path)), char('a' + round));
                if (!writeFile(path, data.data(), data.size()))
                    return false;
                ++changed;
            }
    return changed > 0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

// One whole-process case for an outside timer: first changes 1 % of this
// case's own source (a different hundredth each step), then becomes the copy.
int step(const std::string &work, const std::string &mode)
{
    const std::string counter = work + "/step-" + mode;
    int round = 0;
    if (FILE *f = std::fopen(counter.c_str(), "r")) {
        if (std::fscanf(f, "%d", &round) != 1)
            round = 0;
        std::fclose(f);
    }
    ++round;
    if (FILE *f = std::fopen(counter.c_str(), "w")) {
        std::fprintf(f, "%d\n", round);
        std::fclose(f);
    }
    std::vector<std::string> argv;
    std::string environment;
    if (mode == "first-ditto" || mode == "first-cp") {
        // Out of the way at the cost of a rename; --clean removes them.
        const std::string copy = work + "/" + mode;
        fs::create_directories(work + "/trash");
        std::error_code ec;
        fs::rename(copy, work + "/trash/" + mode + "-" + std::to_string(round), ec);
        if (mode == "first-ditto")
            argv = {CV_DITTO, "-rsrc", work + "/src-plain", copy};
        else
            argv = {"/bin/cp", "-a", work + "/src-plain", copy};
    } else if (mode == "versions" || mode == "plain" || mode == "rsync") {
        const std::string src = work + "/src-" + mode, dst = work + "/dst-" + mode;
        if (!changeOnePercent(src, round)) {
            std::perror("change");
            return 1;
        }
        if (mode == "rsync")
            argv = {kRsync, "-a", src + "/", dst + "/"};
        else
            argv = {CV_DITTO, "-rsrc", src, dst};
        if (mode == "versions")
            environment = versionsSetting(dst, round);
    } else {
        std::fprintf(stderr, "unknown step %s\n", mode.c_str());
        return 2;
    }
    std::vector<char *> args;
    for (const auto &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char *> env = environmentWith(environment);
    if (mode != "versions") {
        execve(args[0], args.data(), env.data());
        std::perror(args[0]);
        return 127;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    journalLine(work + "/dst-versions", round, false);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int prepare(const std::string &work)
{
    fs::create_directories(work);
    for (const char *mode : {"versions", "plain", "rsync"}) {
        const std::string src = work + "/src-" + mode, dst = work + "/dst-" + mode;
        if (!generate(src)) {
            std::perror("generate");
            return 1;
        }
        const Measure m = std::string(mode) == "rsync" ? run({kRsync, "-a", src + "/", dst + "/"})
                                                        : run({CV_DITTO, "-rsrc", src, dst});
        if (m.status != 0) {
            std::printf("the first copy for %s failed\n", mode);
            return 1;
        }
    }
    std::printf("prepared %s\n", work.c_str());
    return 0;
}

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--prepare")
        return prepare(args[1]);
    if (args.size() == 3 && args[0] == "--step")
        return step(args[1], args[2]);
    if (args.size() == 2 && args[0] == "--clean") {
        std::error_code ec;
        fs::remove_all(args[1], ec);
        return ec ? 1 : 0;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string base = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
    std::string pattern = base + "/cv-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const bool haveRsync = access(kRsync, X_OK) == 0;
    const std::string work = pattern;
    const std::string src = work + "/src";
    std::printf("generating %d small files in %d folders and %d files of %zu MB in %s ...\n",
                kTopFolders * kSubFolders * kFilesPerFolder, kTopFolders * kSubFolders, kBigFiles,
                kBigSize >> 20, work.c_str());
    std::fflush(stdout);
    int result = 0;
    double firstRatio = 0, sameRatio = 0, changedRatio = 0, versionsRatio = 0, versionsRsyncRatio = 0;
    if (!generate(src)) {
        std::perror("generate");
        result = 1;
    } else {
        std::vector<double> dittoTimes, cpTimes, dittoFlush, cpFlush;
        long dittoPeak = 0, cpPeak = 0;
        for (int round = 1; round <= kFirstRounds && result == 0; ++round) {
            const std::string dst = work + "/copy";
            // Alternate who goes first, so neither always meets the other's
            // leftovers in the page cache.
            Measure d, c;
            for (int turn = 0; turn < 2; ++turn) {
                if ((turn == 0) == (round % 2 == 1))
                    d = run({CV_DITTO, "-rsrc", src, dst});
                else
                    c = run({"/bin/cp", "-a", src, dst});
                fs::remove_all(dst);
            }
            std::printf("first copy %d: ditto %.3f s (%.3f s with write-back), %ld KB   "
                        "cp -a %.3f s (%.3f s with write-back), %ld KB\n",
                        round, d.seconds, d.withFlush, d.peakKb, c.seconds, c.withFlush, c.peakKb);
            std::fflush(stdout);
            if (d.status != 0 || c.status != 0) {
                std::printf("a copy failed (ditto status %d, cp status %d)\n", d.status, c.status);
                result = 1;
            }
            dittoTimes.push_back(d.seconds);
            cpTimes.push_back(c.seconds);
            dittoFlush.push_back(d.withFlush);
            cpFlush.push_back(c.withFlush);
            dittoPeak = std::max(dittoPeak, d.peakKb);
            cpPeak = std::max(cpPeak, c.peakKb);
        }
        if (result == 0) {
            const double dm = median(dittoTimes), cm = median(cpTimes);
            firstRatio = dm / cm;
            std::printf("first copy, median wall time: ditto %.3f s, cp -a %.3f s, ratio %.2f (aim <= 1.00)\n",
                        dm, cm, firstRatio);
            std::printf("first copy, median with write-back: ditto %.3f s, cp -a %.3f s, ratio %.2f\n",
                        median(dittoFlush), median(cpFlush), median(dittoFlush) / median(cpFlush));
            std::printf("peak memory: ditto %.1f MB, cp -a %.1f MB (aim < 32 MB)\n", dittoPeak / 1024.0,
                        cpPeak / 1024.0);
        }
        if (result == 0 && !haveRsync)
            std::printf("no %s here: the repeat cases are skipped (apt-get install rsync)\n", kRsync);
        if (result == 0 && haveRsync) {
            // Each tool repeats onto its own earlier copy, as a daily backup
            // does; ours twice, with and without earlier versions.
            const std::string ours = work + "/ours", kept = work + "/ours-versions", theirs = work + "/theirs";
            if (run({CV_DITTO, "-rsrc", src, ours}).status != 0 || run({CV_DITTO, "-rsrc", src, kept}).status != 0
                || run({kRsync, "-a", src + "/", theirs + "/"}).status != 0) {
                std::printf("the copies to repeat onto failed\n");
                result = 1;
            }
            int versionRound = 0;
            for (int changed = 0; changed < 2 && result == 0; ++changed) {
                const char *label = changed ? "repeat, 1 % changed" : "repeat, nothing changed";
                std::vector<double> ourTimes, keptTimes, theirTimes;
                for (int round = 1; round <= kRepeatRounds && result == 0; ++round) {
                    if (changed && !changeOnePercent(src, round)) {
                        std::perror("change");
                        result = 1;
                        break;
                    }
                    Measure d, v, r;
                    for (int turn = 0; turn < 3; ++turn) {
                        switch ((round + turn) % 3) {
                        case 0:
                            d = run({CV_DITTO, "-rsrc", src, ours});
                            break;
                        case 1:
                            v = run({CV_DITTO, "-rsrc", src, kept}, versionsSetting(kept, ++versionRound));
                            break;
                        default:
                            r = run({kRsync, "-a", src + "/", theirs + "/"});
                        }
                    }
                    std::printf("%s %d: ditto %.3f s, %ld KB   with versions %.3f s, %ld KB   rsync -a %.3f s, "
                                "%ld KB\n", label, round, d.seconds, d.peakKb, v.seconds, v.peakKb, r.seconds,
                                r.peakKb);
                    std::fflush(stdout);
                    if (d.status != 0 || v.status != 0 || r.status != 0) {
                        std::printf("a repeat failed (ditto status %d, with versions %d, rsync status %d)\n",
                                    d.status, v.status, r.status);
                        result = 1;
                    }
                    ourTimes.push_back(d.seconds);
                    keptTimes.push_back(v.seconds);
                    theirTimes.push_back(r.seconds);
                }
                if (result == 0) {
                    const double dm = median(ourTimes), vm = median(keptTimes), rm = median(theirTimes);
                    (changed ? changedRatio : sameRatio) = dm / rm;
                    if (changed) {
                        versionsRatio = vm / dm;
                        versionsRsyncRatio = vm / rm;
                    }
                    std::printf("%s, median wall time: ditto %.3f s, with versions %.3f s, rsync -a %.3f s; "
                                "ditto/rsync -a %.2f%s, with versions/without %.2f (aim <= 1.05), "
                                "with versions/rsync -a %.2f (aim <= 1.00)\n",
                                label, dm, vm, rm, dm / rm, changed ? "" : " (aim <= 1.00)", vm / dm, vm / rm);
                }
            }
        }
        if (result == 0)
            std::printf("ratios: first copy ditto/cp -a %.2f; repeat, nothing changed ditto/rsync -a %.2f; "
                        "repeat, 1 %% changed ditto/rsync -a %.2f, with versions/without %.2f, "
                        "with versions/rsync -a %.2f\n",
                        firstRatio, sameRatio, changedRatio, versionsRatio, versionsRsyncRatio);
    }
    std::error_code ec;
    fs::remove_all(work, ec);
    return result;
}
