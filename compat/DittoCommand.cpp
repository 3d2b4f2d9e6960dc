// The command line, printable paths and the one-line failure messages.
#include "Ditto.h"
#include "DittoSupport.h"

#include <unistd.h>

#include <cstring>

namespace cv::compat {

namespace {

// Length of a well-formed UTF-8 sequence at s, 0 when malformed.
size_t utf8Length(std::string_view s)
{
    const auto c = static_cast<unsigned char>(s[0]);
    size_t n;
    unsigned min;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() < n)
        return 0;
    unsigned cp = c & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

timespec wallClock()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

} // namespace

std::optional<DittoCommand> parseDittoArguments(const std::vector<std::string> &args,
                                                std::string &error)
{
    DittoCommand command;
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (const std::string &arg : args) {
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                optionsEnded = true;
            } else if (arg == "-rsrc" || arg == "--rsrc") {
                command.options.keepExtendedAttributes = true;
            } else if (arg == "-norsrc" || arg == "--norsrc") {
                command.options.keepExtendedAttributes = false;
            } else {
                error = "unknown option " + printablePath(arg);
                return std::nullopt;
            }
            continue;
        }
        operands.push_back(arg);
    }
    if (operands.size() != 2) {
        error = "expected a source and a destination";
        return std::nullopt;
    }
    if (operands[0].empty() || operands[1].empty()) {
        error = "empty path";
        return std::nullopt;
    }
    command.source = operands[0];
    command.destination = operands[1];
    return command;
}

std::string printablePath(std::string_view path)
{
    static const char digits[] = "01234567";
    std::string out;
    out.reserve(path.size());
    while (!path.empty()) {
        const auto c = static_cast<unsigned char>(path[0]);
        const size_t n = utf8Length(path);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (n == 0 || c < 0x20 || c == 0x7F) {
            out += '\\';
            out += digits[(c >> 6) & 7];
            out += digits[(c >> 3) & 7];
            out += digits[c & 7];
        } else {
            out.append(path.substr(0, n));
            path.remove_prefix(n);
            continue;
        }
        path.remove_prefix(1);
    }
    return out;
}

Ditto::Ditto(DittoOptions options, std::FILE *errors)
    : m_options(options)
    , m_errors(errors)
    , m_clock(wallClock)
{
}

Ditto::~Ditto()
{
    if (m_dstRootFd >= 0)
        close(m_dstRootFd);
    closeVersions();
}

void Ditto::failSource(int err)
{
    fail(m_src, std::strerror(err));
}

void Ditto::failDestination(int err)
{
    fail(m_dst, std::strerror(err));
}

void Ditto::fail(const std::string &path, const char *reason)
{
    ++m_failures;
    // One write per line, so lines never interleave in a shared log.
    std::string line = "ditto: ";
    line += printablePath(path.empty() ? std::string("/") : path);
    line += ": ";
    line += reason;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), m_errors);
    std::fflush(m_errors);
}

} // namespace cv::compat
