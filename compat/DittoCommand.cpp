// The command line, printable paths, the one-line messages, and the Ditto
// that puts the parts together.
#include "DittoParts.h"

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

PlainResult<DittoCommand> parseDittoArguments(const std::vector<std::string> &args)
{
    DittoCommand command;
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (const std::string &arg : args) {
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--")
                optionsEnded = true;
            else if (arg == "-rsrc" || arg == "--rsrc")
                command.options.keepExtendedAttributes = true;
            else if (arg == "-norsrc" || arg == "--norsrc")
                command.options.keepExtendedAttributes = false;
            else
                return cv::fail("unknown option " + printablePath(arg));
            continue;
        }
        operands.push_back(arg);
    }
    if (operands.size() != 2)
        return cv::fail(std::string("expected a source and a destination"));
    if (operands[0].empty() || operands[1].empty())
        return cv::fail(std::string("empty path"));
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

namespace detail {

std::string Report::relativePath() const
{
    return dst.size() > dstRootLength ? dst.substr(dstRootLength + 1) : std::string();
}

std::string Report::at(const std::string &path, const char *why)
{
    return printablePath(path.empty() ? std::string("/") : path) + ": " + why;
}

std::string Report::at(const std::string &path, int err)
{
    return at(path, std::strerror(err));
}

void Report::say(const std::string &reason)
{
    if (reason.empty())
        return;
    ++m_failures;
    write("ditto: " + reason + "\n");
}

void Report::note(const std::string &path, const std::string &text)
{
    write("ditto: " + printablePath(path) + ": " + text + "\n");
}

void Report::write(const std::string &line)
{
    // One write per line, so lines never interleave in a shared log.
    std::fwrite(line.data(), 1, line.size(), m_errors);
    std::fflush(m_errors);
}

EntryPaths::EntryPaths(Report &report, const char *name)
    : m_report(report)
    , m_srcLength(report.src.size())
    , m_dstLength(report.dst.size())
{
    m_report.src += '/';
    m_report.src += name;
    m_report.dst += '/';
    m_report.dst += name;
}

EntryPaths::~EntryPaths()
{
    m_report.src.resize(m_srcLength);
    m_report.dst.resize(m_dstLength);
}

} // namespace detail

struct Ditto::Parts {
    Parts(DittoOptions dittoOptions, std::FILE *errors)
        : options(std::move(dittoOptions))
        , report(errors)
        , data(report)
        , attributes(report)
        , versions(options.versionsFolder, report, data, names)
        , placing(options, report, versions, data, attributes, names, clock)
        , walk(options, report, placing, versions, attributes)
    {
    }

    DittoOptions options;
    std::function<timespec()> clock = wallClock;
    detail::Report report;
    detail::TempNames names;
    detail::DataCopy data;
    detail::Attributes attributes;
    detail::Versions versions;
    detail::Placing placing;
    detail::Walk walk;
};

Ditto::Ditto(DittoOptions options, std::FILE *errors)
    : m_parts(std::make_unique<Parts>(std::move(options), errors))
{
}

Ditto::~Ditto() = default;

bool Ditto::copy(const std::string &source, const std::string &destination)
{
    return m_parts->walk.copy(source, destination);
}

int Ditto::failures() const
{
    return m_parts->report.failures();
}

void Ditto::setClock(std::function<timespec()> clock)
{
    m_parts->clock = std::move(clock);
}

} // namespace cv::compat
