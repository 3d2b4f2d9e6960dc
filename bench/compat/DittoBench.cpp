// Copies a generated mail-like tree (about 20,000 small files in 400 folders
// plus five files of 100 MB) and prints wall time and peak memory of:
//   - the first copy into an empty destination: our ditto against `cp -a`;
//   - a repeat onto the last copy with nothing changed: ours against `rsync -a`;
//   - a repeat after 1 % of the files changed: ours against `rsync -a`.
// Each pair runs alternately in this process. Everything is removed afterwards.
//   cv_bench_ditto [FOLDER]   (default: $TMPDIR or /tmp)
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
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += size_t(n);
    }
    return close(fd) == 0;
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

Measure run(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    sync(); // start every run with nothing left to write back
    Measure m;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execv(args[0], args.data());
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

int main(int argc, char **argv)
{
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
    double firstRatio = 0, sameRatio = 0, changedRatio = 0;
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
            // Each tool repeats onto its own earlier copy, as a daily backup does.
            const std::string ours = work + "/ours", theirs = work + "/theirs";
            if (run({CV_DITTO, "-rsrc", src, ours}).status != 0
                || run({kRsync, "-a", src + "/", theirs + "/"}).status != 0) {
                std::printf("the copies to repeat onto failed\n");
                result = 1;
            }
            for (int changed = 0; changed < 2 && result == 0; ++changed) {
                const char *label = changed ? "repeat, 1 % changed" : "repeat, nothing changed";
                std::vector<double> ourTimes, theirTimes;
                for (int round = 1; round <= kRepeatRounds && result == 0; ++round) {
                    if (changed && !changeOnePercent(src, round)) {
                        std::perror("change");
                        result = 1;
                        break;
                    }
                    Measure d, r;
                    for (int turn = 0; turn < 2; ++turn) {
                        if ((turn == 0) == (round % 2 == 1))
                            d = run({CV_DITTO, "-rsrc", src, ours});
                        else
                            r = run({kRsync, "-a", src + "/", theirs + "/"});
                    }
                    std::printf("%s %d: ditto %.3f s, %ld KB   rsync -a %.3f s, %ld KB\n", label, round,
                                d.seconds, d.peakKb, r.seconds, r.peakKb);
                    std::fflush(stdout);
                    if (d.status != 0 || r.status != 0) {
                        std::printf("a repeat failed (ditto status %d, rsync status %d)\n", d.status,
                                    r.status);
                        result = 1;
                    }
                    ourTimes.push_back(d.seconds);
                    theirTimes.push_back(r.seconds);
                }
                if (result == 0) {
                    const double dm = median(ourTimes), rm = median(theirTimes);
                    (changed ? changedRatio : sameRatio) = dm / rm;
                    std::printf("%s, median wall time: ditto %.3f s, rsync -a %.3f s, ratio %.2f%s\n", label,
                                dm, rm, dm / rm, changed ? "" : " (aim <= 1.00)");
                }
            }
        }
        if (result == 0)
            std::printf("ratios: first copy ditto/cp -a %.2f; repeat, nothing changed ditto/rsync -a %.2f; "
                        "repeat, 1 %% changed ditto/rsync -a %.2f\n",
                        firstRatio, sameRatio, changedRatio);
    }
    std::error_code ec;
    fs::remove_all(work, ec);
    return result;
}
