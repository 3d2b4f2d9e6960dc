// osascript -e 'tell application "NAME"' -e quit|activate -e 'end tell'
// Exit status 0 when done (quit also when nothing ran), 1 otherwise, always
// with one line on standard error saying why.
#include "Ditto.h" // printablePath
#include "Osascript.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    using namespace cv::compat;
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    const auto command = parseOsascriptArguments(args, error);
    if (!command) {
        std::fprintf(stderr, "osascript: %s\n", error.c_str());
        return 1;
    }
    const std::string name = printablePath(command->application);
    if (command->verb == TellVerb::Quit)
        return quitApplication(command->application, stderr).failed == 0 ? 0 : 1;

    const char *path = std::getenv("PATH");
    const std::string program = findProgram(command->application, path ? path : "");
    if (program.empty()) {
        std::fprintf(stderr, "osascript: %s: no such application on PATH\n", name.c_str());
        return 1;
    }
    if (const cv::PlainResult<void> started = launchDetached(program); !started) {
        std::fprintf(stderr, "osascript: %s: cannot start: %s\n", name.c_str(), started.reason().c_str());
        return 1;
    }
    return 0;
}
