#pragma once
// The Qt code's result: a value or a one-line, user-readable reason.

#include "BasicResult.h"

#include <QString>

namespace cv {

template <class T = void>
using Result = BasicResult<T, QString>;

} // namespace cv
