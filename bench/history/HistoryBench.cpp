// Figures for earlier versions, printed, never judged:
//   cv_bench_history make FOLDER        a backup of 100,000 entries (1,000
//                                       folders) with 30 runs in the journal,
//                                       each keeping 1 % of the files and
//                                       recording a few created ones
//   cv_bench_history list FOLDER        lists the oldest point (every run
//                                       folder takes part) and prints the
//                                       time and the entry count
//   cv_bench_history search FOLDER TEXT searches the latest point a slice at
//                                       a time, as the Restore window does,
//                                       and prints the longest slice
//   cv_bench_history bigfile FILE MB    writes a file of MB megabytes
//   cv_bench_history restore FILE OUT   "Restore To" of FILE into the folder
//                                       OUT (emptied first), as the window does
// Compare the restore with the same copy by `cp -a`, whole process against
// whole process, e.g. with /usr/bin/time or by alternating the two.
#include "BackupHistory.h"
#include "Journal.h"
#include "Restore.h"
#include "TreeSearch.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <vector>

using namespace cv::history;

namespace {

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 99; // with the folders: 100,000 entries
constexpr int kRuns = 30;

int usage()
{
    std::fprintf(stderr, "usage: cv_bench_history make|list FOLDER | search FOLDER TEXT | bigfile FILE MB | restore FILE OUT\n");
    return 2;
}

void writeSmall(const std::string &path, int seed)
{
    const std::string text = "From bench@example " + std::to_string(seed) + "\n";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        (void)!write(fd, text.data(), text.size());
        close(fd);
    }
}

int make(const std::string &root)
{
    namespace fs = std::filesystem;
    fs::create_directories(root);
    for (int f = 0; f < kFolders; ++f) {
        const std::string folder = root + "/Mail/box" + std::to_string(f);
        fs::create_directories(folder);
        for (int i = 0; i < kFilesPerFolder; ++i)
            writeSmall(folder + "/msg" + std::to_string(i), f * 1000 + i);
    }
    // Each run replaced 1 % of the files (old inode kept by hard link) and
    // created two new ones.
    const QDateTime first = QDateTime::currentDateTimeUtc().addDays(-kRuns);
    for (int r = 0; r < kRuns; ++r) {
        const auto id = beginRun(QString::fromStdString(root), first.addDays(r), true);
        if (!id) {
            std::fprintf(stderr, "%s\n", qPrintable(id.reason()));
            return 1;
        }
        const std::string run = runFolder(QString::fromStdString(root), *id).toStdString();
        for (int n = 0; n < kFolders * kFilesPerFolder / 100; ++n) {
            const int f = (n * 7 + r * 13) % kFolders, i = (n + r) % kFilesPerFolder;
            const std::string rel = "/Mail/box" + std::to_string(f) + "/msg" + std::to_string(i);
            fs::create_directories(fs::path(run + rel).parent_path());
            if (link((root + rel).c_str(), (run + rel).c_str()) != 0)
                continue; // kept already by this run
            writeSmall(root + rel + ".tmp", r);
            rename((root + rel + ".tmp").c_str(), (root + rel).c_str());
        }
        const int fd = open((run + "/.corvantis-created").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        for (int c = 0; c < 2; ++c) {
            const std::string rel = "Mail/box" + std::to_string(r) + "/new" + std::to_string(r) + "-" + std::to_string(c);
            writeSmall(root + "/" + rel, r);
            (void)!write(fd, rel.c_str(), rel.size() + 1); // with its NUL
        }
        close(fd);
        if (const auto ended = endRun(QString::fromStdString(root), *id, first.addDays(r).addSecs(60), true); !ended) {
            std::fprintf(stderr, "%s\n", qPrintable(ended.reason()));
            return 1;
        }
    }
    std::printf("made %s: %d folders, %d files, %d version folders\n", root.c_str(), kFolders,
                kFolders * kFilesPerFolder, kRuns);
    return 0;
}

int list(const QString &root)
{
    // Wall and processor time: on a shared machine the second says more.
    QElapsedTimer timer;
    timer.start();
    std::clock_t cpu = std::clock();
    auto cpuMs = [&cpu] {
        const std::clock_t now = std::clock();
        const qlonglong ms = qlonglong(now - cpu) * 1000 / CLOCKS_PER_SEC;
        cpu = now;
        return ms;
    };
    const BackupHistory history(root);
    const QList<Point> points = history.points();
    const qint64 pointsMs = timer.restart();
    const qlonglong pointsCpu = cpuMs();
    const QList<Entry> tree = history.treeAt(points.constLast());
    const qint64 treeMs = timer.elapsed();
    const qlonglong treeCpu = cpuMs();
    std::printf("points: %lld listed in %lld ms (cpu %lld ms); the oldest point (%s): %lld entries in %lld ms "
                "(cpu %lld ms)\n",
                qlonglong(points.size()), qlonglong(pointsMs), pointsCpu, qPrintable(points.constLast().id),
                qlonglong(tree.size()), qlonglong(treeMs), treeCpu);
    return tree.isEmpty() ? 1 : 0;
}

int search(const QString &root, const QString &text)
{
    const BackupHistory history(root);
    const QList<Entry> tree = history.treeAt(history.points().constFirst());
    TreeSearch search;
    QElapsedTimer total, slice;
    total.start();
    search.start(tree, text);
    qint64 longest = 0;
    int slices = 0;
    for (bool done = false; !done; ++slices) {
        slice.start();
        done = search.step(std::chrono::milliseconds(25));
        longest = std::max(longest, slice.elapsed());
    }
    std::printf("search '%s' over %lld entries: %lld files match, %d slices, longest %lld ms, %lld ms in all\n",
                qPrintable(text), qlonglong(tree.size()), qlonglong(search.matchingFiles()), slices,
                qlonglong(longest), qlonglong(total.elapsed()));
    return 0;
}

int bigfile(const std::string &path, long megabytes)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return 1;
    std::vector<char> block(1 << 20);
    for (long i = 0; i < megabytes; ++i) {
        for (size_t j = 0; j < block.size(); j += 4096)
            block[j] = char(i + j); // not all zero, not sparse
        if (write(fd, block.data(), block.size()) != ssize_t(block.size()))
            return 1;
    }
    return close(fd) == 0 ? 0 : 1;
}

int restore(const QString &file, const QString &out)
{
    QDir(out).removeRecursively();
    // The entry as the window has it once the point is listed.
    const QFileInfo info(file);
    Entry entry;
    entry.path = QFile::encodeName(info.fileName());
    entry.diskPath = QFile::encodeName(info.absoluteFilePath());
    entry.kind = EntryKind::File;
    entry.size = info.size();
    const RestoreResult result = restoreTo({entry}, {entry.path}, out);
    return result.ok() && result.files == 1 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return usage();
    const std::string mode = argv[1];
    if (mode == "make" && argc == 3)
        return make(argv[2]);
    if (mode == "list" && argc == 3)
        return list(QFile::decodeName(argv[2]));
    if (mode == "search" && argc == 4)
        return search(QFile::decodeName(argv[2]), QString::fromLocal8Bit(argv[3]));
    if (mode == "bigfile" && argc == 4)
        return bigfile(argv[2], std::atol(argv[3]));
    if (mode == "restore" && argc == 4)
        return restore(QFile::decodeName(argv[2]), QFile::decodeName(argv[3]));
    return usage();
}
