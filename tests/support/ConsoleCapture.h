#pragma once
// Collects the lines printLine() writes instead of writing them, for the life
// of a scope, so that a test reads what an operation printed. Only one at a
// time; lines printed from other threads meanwhile are collected too.

#include "platform/Console.h"

#include <QStringList>

namespace vellora {

class ConsoleCapture {
public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture &) = delete;
    ConsoleCapture &operator=(const ConsoleCapture &) = delete;

    QStringList lines() const;
    void clear();
};

} // namespace vellora
