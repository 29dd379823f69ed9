#pragma once
// Plain lines on standard output: the messages the library and the
// command-line modes show the user ("library.json not saved: ..."). Logs do
// not come here; they go to standard error through the logging categories.

#include <QString>

namespace vellora {

// Writes one line (a newline is added) and flushes. Safe from any thread.
void printLine(const QString &line);

// Writes one line to standard error: why a command could not do its work.
// Never handed to a line sink.
void printErrorLine(const QString &line);

// Hands the lines printLine() writes to `sink` instead of standard output,
// one call at a time, so that a test can read what an operation printed;
// nullptr writes them out again.
using LineSink = void (*)(const QString &line);
void setLineSink(LineSink sink);

} // namespace vellora
