// Figures for earlier versions, printed, never judged:
//   cv_bench_history make FOLDER        a backup of 100,000 entries (1,000
//                                       folders) by the real ditto, with 30
//                                       runs in the journal, each keeping 1 %
//                                       of the files and creating two
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
#include "BackupFormat.h"
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
#include <QProcess>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
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
    std::ofstream(path, std::ios::binary | std::ios::trunc) << "From bench@example " << seed << "\n";
}

// One copy by the real ditto, keeping what it replaces in `versions` when given.
bool copy(const std::string &source, const std::string &root, const QString &versions)
{
    QProcess ditto;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QLatin1String(cv::format::kVersionsDirVariable));
    if (!versions.isEmpty())
        env.insert(QLatin1String(cv::format::kVersionsDirVariable), versions);
    ditto.setProcessEnvironment(env);
    ditto.setProcessChannelMode(QProcess::ForwardedChannels);
    ditto.start(QStringLiteral(CV_DITTO), {QStringLiteral("-rsrc"), QString::fromStdString(source),
                                           QString::fromStdString(root)});
    return ditto.waitForFinished(-1) && ditto.exitStatus() == QProcess::NormalExit && ditto.exitCode() == 0;
}

// A source of 100,000 entries copied once, then 30 journalled runs of the
// real ditto, each after 1 % of the files changed and two were created.
int make(const std::string &root)
{
    namespace fs = std::filesystem;
    const std::string source = root + "-source"; // removed at the end
    for (int f = 0; f < kFolders; ++f) {
        const std::string folder = source + "/Mail/box" + std::to_string(f);
        fs::create_directories(folder);
        for (int i = 0; i < kFilesPerFolder; ++i)
            writeSmall(folder + "/msg" + std::to_string(i), f * 1000 + i);
    }
    const QString destination = QString::fromStdString(root);
    const QDateTime first = QDateTime::currentDateTimeUtc().addDays(-kRuns);
    bool ok = copy(source, root, {});
    for (int r = 0; ok && r < kRuns; ++r) {
        for (int n = 0; n < kFolders * kFilesPerFolder / 100; ++n)
            writeSmall(source + "/Mail/box" + std::to_string((n * 7 + r * 13) % kFolders) + "/msg"
                           + std::to_string((n + r) % kFilesPerFolder), -r - 1);
        for (int c = 0; c < 2; ++c)
            writeSmall(source + "/Mail/box" + std::to_string(r) + "/new" + std::to_string(r) + "-" + std::to_string(c), r);
        const cv::Result<QString> id = beginRun(destination, first.addDays(r), true);
        if (!id)
            std::fprintf(stderr, "%s\n", qPrintable(id.reason()));
        ok = id && copy(source, root, runFolder(destination, *id));
        if (ok) {
            const cv::Result<> ended = endRun(destination, *id, first.addDays(r).addSecs(60), true);
            if (!ended)
                std::fprintf(stderr, "%s\n", qPrintable(ended.reason()));
            ok = ended.ok();
        }
    }
    fs::remove_all(source);
    if (!ok)
        return 1;
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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1 << 20);
    for (long i = 0; out && i < megabytes; ++i) {
        for (size_t j = 0; j < block.size(); j += 4096)
            block[j] = char(i + j); // not all zero, not sparse
        out.write(block.data(), std::streamsize(block.size()));
    }
    out.close();
    return out ? 0 : 1;
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
