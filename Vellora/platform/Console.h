#pragma once
// Plain lines on standard output: the messages the library and the
// command-line modes show the user ("library.json not saved: ..."). Logs do
// not come here; they go to standard error through the logging categories.

#include <QString>
#include <QStringList>

namespace vellora {

// Writes one line (a newline is added) and flushes. Safe from any thread.
void printLine(const QString &line);

// Writes one line to standard error: why a command could not do its work.
// Not captured by ConsoleCapture.
void printErrorLine(const QString &line);

// Collects the printed lines instead of writing them, for the life of a scope.
// Tests use it to read what an operation printed. Only one at a time.
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
