// ditto [-rsrc] SRC DST: the copy command the backup script runs.
// Exit status 0 only when everything was copied, 1 when anything failed,
// 2 for a command line it does not accept.
#include "BackupFormat.h"
#include "Ditto.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    const auto command = cv::compat::parseDittoArguments(args);
    if (!command) {
        std::fprintf(stderr, "ditto: %s (usage: ditto [-rsrc] SRC DST)\n", command.reason().c_str());
        return 2;
    }
    cv::compat::DittoOptions options = command->options;
    // Set by the engine when earlier versions are kept.
    if (const char *versions = std::getenv(cv::format::kVersionsDirVariable); versions && *versions)
        options.versionsFolder = versions;
    cv::compat::removeUnfinishedCopyOnSignals();
    cv::compat::Ditto ditto(options);
    return ditto.copy(command->source, command->destination) ? 0 : 1;
}
