// Start-up time of the configurator: from the moment its process is started
// to the first expose of its main window, watched from outside as another
// client of a private X server. Ten cold starts (each a new process) after
// one first start that installs the engine into the temporary home, so the
// measured starts find it installed and copy nothing. Prints every start and
// the median.
//
//   cv_bench_startup [runs] [configurator]
//
// The configurator edits the crontab of whoever runs it, so the benchmark
// first enters a mount namespace of its own (through a user namespace when not
// root) and puts a stand-in over the crontab program there; it refuses to run
// when it cannot.
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char *kCrontab = "/usr/bin/crontab";
constexpr const char *kWindowTitle = "Corvantis";

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "cv_bench_startup: %s\n", what.c_str());
    std::exit(1);
}

bool writeFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return bool(out);
}

// A crontab program that knows no table and accepts nothing worth keeping:
// the configurator only lists the table at start-up.
const char *const kStandInCrontab = "#!/bin/sh\n"
                                    "if [ \"$1\" = -l ]; then echo \"no crontab for $(id -un)\" >&2; exit 1; fi\n"
                                    "exit 0\n";

void enterPrivateMounts(const std::string &standIn)
{
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            die(std::string("no user namespace for a private crontab: ") + std::strerror(errno));
        if (!writeFile("/proc/self/setgroups", "deny") || !writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1")
            || !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            die("could not map the user into its namespace");
    } else if (unshare(CLONE_NEWNS) != 0) {
        die(std::string("no mount namespace for a private crontab: ") + std::strerror(errno));
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        die(std::string("could not make the mounts private: ") + std::strerror(errno));
    if (mount(standIn.c_str(), kCrontab, nullptr, MS_BIND, nullptr) != 0)
        die(std::string("could not put the stand-in over ") + kCrontab + ": " + std::strerror(errno));
}

// Starts a helper that prints one line (a display number, a bus address) on
// the descriptor it is told; returns its pid and that line.
std::pair<pid_t, std::string> startHelper(std::vector<std::string> argv, const std::string &fdPlaceholder)
{
    int fds[2];
    if (pipe(fds) != 0)
        die("pipe failed");
    const pid_t pid = fork();
    if (pid < 0)
        die("fork failed");
    if (pid == 0) {
        close(fds[0]);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        std::vector<char *> args;
        for (std::string &a : argv) {
            if (const auto at = a.find(fdPlaceholder); at != std::string::npos)
                a.replace(at, fdPlaceholder.size(), std::to_string(fds[1]));
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    std::string line;
    char c;
    pollfd p{fds[0], POLLIN, 0};
    while (poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
        line += c;
    close(fds[0]);
    if (line.empty())
        die("could not start " + argv[0]);
    return {pid, line};
}

void stop(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

std::string windowName(xcb_connection_t *c, xcb_window_t w)
{
    const auto cookie = xcb_get_property(c, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 256);
    xcb_get_property_reply_t *reply = xcb_get_property_reply(c, cookie, nullptr);
    if (!reply)
        return {};
    std::string name(static_cast<const char *>(xcb_get_property_value(reply)), xcb_get_property_value_length(reply));
    std::free(reply);
    return name;
}

struct Start {
    double shownMs = 0;  // process start to the first expose (or the map it came with)
    bool sawExpose = false;
};

// Starts the configurator and waits for its main window to be shown.
std::optional<Start> timeOneStart(xcb_connection_t *c, const std::string &program, char *const env[])
{
    // Drop what earlier starts left in the queue.
    xcb_flush(c);
    while (xcb_generic_event_t *e = xcb_poll_for_event(c))
        std::free(e);

    const Clock::time_point t0 = Clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        die("fork failed");
    if (pid == 0) {
        char *const args[] = {const_cast<char *>(program.c_str()), nullptr};
        execve(program.c_str(), args, env);
        _exit(127);
    }

    std::optional<Start> result;
    std::vector<xcb_window_t> watched;
    const int fd = xcb_get_file_descriptor(c);
    while (!result) {
        const double waited = std::chrono::duration<double>(Clock::now() - t0).count();
        if (waited > 20.0)
            break;
        xcb_generic_event_t *e = xcb_poll_for_event(c);
        if (!e) {
            if (xcb_connection_has_error(c))
                die("lost the X connection");
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 100);
            continue;
        }
        const Clock::time_point at = Clock::now();
        const uint8_t type = e->response_type & 0x7f;
        xcb_window_t window = XCB_NONE;
        bool shown = false, expose = false;
        if (type == XCB_CREATE_NOTIFY) {
            // Asking for its exposes now usually beats the map; when it does
            // not, the map (which brings the first expose with it on a
            // server without a window manager) stands for it.
            const auto *create = reinterpret_cast<xcb_create_notify_event_t *>(e);
            const uint32_t mask = XCB_EVENT_MASK_EXPOSURE;
            xcb_change_window_attributes(c, create->window, XCB_CW_EVENT_MASK, &mask);
            xcb_flush(c);
            watched.push_back(create->window);
        } else if (type == XCB_MAP_NOTIFY) {
            window = reinterpret_cast<xcb_map_notify_event_t *>(e)->window;
            shown = true;
        } else if (type == XCB_EXPOSE) {
            window = reinterpret_cast<xcb_expose_event_t *>(e)->window;
            shown = expose = true;
        }
        std::free(e);
        if (shown && windowName(c, window) == kWindowTitle)
            result = Start{std::chrono::duration<double, std::milli>(at - t0).count(), expose};
    }
    // Stop watching the windows of this start before the next one.
    for (xcb_window_t w : watched) {
        const uint32_t none = 0;
        xcb_change_window_attributes(c, w, XCB_CW_EVENT_MASK, &none);
    }
    stop(pid);
    xcb_flush(c);
    return result;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

int countOccurrences(const fs::path &file, const std::string &text)
{
    std::ifstream in(file);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        n += line.find(text) != std::string::npos;
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const std::string program = argc > 2 ? argv[2] : CV_CONFIGURATOR_EXE;
    if (access(program.c_str(), X_OK) != 0)
        die("no configurator at " + program);

    char templ[] = "/tmp/cv-bench-startup.XXXXXX";
    if (!mkdtemp(templ))
        die("no temporary folder");
    const fs::path work = templ;
    const fs::path home = work / "home";
    const fs::path runtime = work / "runtime";
    fs::create_directories(home);
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    const std::string standIn = (work / "crontab").string();
    if (!writeFile(standIn, kStandInCrontab))
        die("could not write the crontab stand-in");
    fs::permissions(standIn, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec
                                 | fs::perms::others_read | fs::perms::others_exec);
    enterPrivateMounts(standIn);

    const auto [xvfb, display] = startHelper({"Xvfb", "-displayfd", "@FD@", "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, "@FD@");
    const std::string displayName = ":" + display;
    const auto [bus, busAddress] = startHelper({"dbus-daemon", "--session", "--nofork", "--print-address=@FD@"}, "@FD@");

    xcb_connection_t *c = xcb_connect(displayName.c_str(), nullptr);
    if (xcb_connection_has_error(c))
        die("cannot connect to " + displayName);
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &rootMask);
    xcb_flush(c);

    std::vector<std::string> envText = {
        "HOME=" + home.string(), "XDG_RUNTIME_DIR=" + runtime.string(), "DISPLAY=" + displayName,
        "DBUS_SESSION_BUS_ADDRESS=" + busAddress, "PATH=/usr/local/bin:/usr/bin:/bin", "LANG=C.UTF-8",
        "USER=bench", "LOGNAME=bench", "SHELL=/bin/sh"};
    std::vector<char *> env;
    for (std::string &s : envText)
        env.push_back(s.data());
    env.push_back(nullptr);

    // The first start ever creates the folders and installs the engine.
    const std::optional<Start> first = timeOneStart(c, program, env.data());
    if (!first)
        die("the main window never appeared (see " + (home / "Library/Logs/Corvantis.log").string() + ")");
    const fs::path engine = home / "Library/Application Support/Tallowmere/Corvantis/CVEngine.app";
    if (!fs::exists(engine))
        die("the first start installed no engine at " + engine.string());

    std::printf("configurator start-up, process start to the main window's first expose (Xvfb, %s)\n", program.c_str());
    std::printf("  first start ever (installs the engine): %7.1f ms\n", first->shownMs);
    std::vector<double> times;
    int exposes = 0;
    for (int i = 0; i < runs; ++i) {
        usleep(300 * 1000); // let the last one's exit settle
        const std::optional<Start> s = timeOneStart(c, program, env.data());
        if (!s)
            die("start " + std::to_string(i + 1) + ": the main window never appeared");
        times.push_back(s->shownMs);
        exposes += s->sawExpose;
        std::printf("  start %2d: %7.1f ms\n", i + 1, s->shownMs);
    }
    const int copies = countOccurrences(home / "Library/Logs/Corvantis.log", "Moving Backup Engine");
    std::printf("median of %d cold starts with the engine installed: %.1f ms (min %.1f, max %.1f)\n", runs,
                median(times), *std::min_element(times.begin(), times.end()),
                *std::max_element(times.begin(), times.end()));
    // Qt creates and maps a window in one go, so the request for its exposes
    // mostly arrives too late; the server sends the first expose with the map.
    std::printf("  timed at the expose itself: %d of %d, the others at the map it came with\n", exposes, runs);
    std::printf("  engine copies in the log: %d (the first start's only)\n", copies);

    xcb_disconnect(c);
    stop(bus);
    stop(xvfb);
    std::error_code ignored;
    fs::remove_all(work, ignored);
    return copies == 1 ? 0 : 1;
}
