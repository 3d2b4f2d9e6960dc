#pragma once
// Owns one file descriptor and closes it once, on every path out. Plain C++:
// ditto and osascript use it as well as the Qt programs.

#include <cerrno>
#include <utility>

#include <unistd.h>

namespace cv {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd &&other) noexcept : m_fd(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    explicit operator bool() const { return valid(); }

    int release()
    {
        return std::exchange(m_fd, -1);
    }
    // Closes the one held (errno kept as it was) and takes `fd`.
    void reset(int fd = -1)
    {
        const int held = std::exchange(m_fd, fd);
        if (held >= 0) {
            const int saved = errno;
            ::close(held);
            errno = saved;
        }
    }
    // For a written file, whose close may be the first to report a lost write:
    // 0, or -1 with errno set.
    int close()
    {
        const int held = release();
        return held >= 0 ? ::close(held) : 0;
    }

private:
    int m_fd = -1;
};

} // namespace cv
