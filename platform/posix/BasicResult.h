#pragma once
// A value, or the one-line reason it could not be had. The one shape in which
// errors travel through the tree: the Qt code spells it cv::Result<T> (reason
// a QString, Result.h), the plain C++ commands cv::PlainResult<T>.
//
//     cv::Result<QString> id = beginRun(...);
//     if (!id)
//         return cv::fail(id.reason());
//
// [[nodiscard]]: a caller that drops a result is a compile warning.

#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace cv {

// What cv::fail() returns; converts to any result whose reason it can make.
template <class Reason>
struct Failure {
    Reason reason;
};

template <class Reason>
Failure<std::decay_t<Reason>> fail(Reason &&reason)
{
    return {std::forward<Reason>(reason)};
}

template <class T, class Reason>
class [[nodiscard]] BasicResult {
public:
    BasicResult(const T &value) : m_value(value) {}
    BasicResult(T &&value) : m_value(std::move(value)) {}
    template <class R, class = std::enable_if_t<std::is_constructible_v<Reason, R>>>
    BasicResult(Failure<R> failure) : m_reason(std::move(failure.reason))
    {
    }

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }

    const T &value() const & { return *m_value; }
    T &value() & { return *m_value; }
    T &&value() && { return std::move(*m_value); }
    const T &operator*() const & { return *m_value; }
    T &operator*() & { return *m_value; }
    const T *operator->() const { return &*m_value; }
    T *operator->() { return &*m_value; }
    template <class U>
    T valueOr(U &&fallback) const
    {
        return m_value ? *m_value : T(std::forward<U>(fallback));
    }

    // Empty on success.
    const Reason &reason() const { return m_reason; }

private:
    std::optional<T> m_value;
    Reason m_reason;
};

// Success carries nothing: only whether it worked, and why not.
template <class Reason>
class [[nodiscard]] BasicResult<void, Reason> {
public:
    BasicResult() = default;
    template <class R, class = std::enable_if_t<std::is_constructible_v<Reason, R>>>
    BasicResult(Failure<R> failure) : m_failed(true), m_reason(std::move(failure.reason))
    {
    }

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const Reason &reason() const { return m_reason; }

private:
    bool m_failed = false;
    Reason m_reason;
};

template <class T = void>
using PlainResult = BasicResult<T, std::string>;

} // namespace cv
