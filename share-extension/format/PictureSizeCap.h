#pragma once
// The largest picture file Vellora takes in, by any road. The share program
// refuses a larger one before it writes a drop, so that it never reports
// "Added to Vellora" for a picture the program will then reject; the
// program's import refuses one before it reads a byte of it. One number for
// both, kept here beside the drops format they share.

#include <QtGlobal>

namespace vellora_format {

inline constexpr qint64 kMaxPictureBytes = qint64(256) << 20;

} // namespace vellora_format
