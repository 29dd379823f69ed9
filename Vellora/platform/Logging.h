#pragma once
// Logging categories of the application. Logs go to standard error; standard
// output belongs to the command-line modes. Messages are short and lower case:
// an area word, a colon and the detail ("drops: imported 2").

#include <QLoggingCategory>

namespace vellora {
// Lines without an area category ("Vellora storage: ...").
Q_DECLARE_LOGGING_CATEGORY(lcVellora)
Q_DECLARE_LOGGING_CATEGORY(lcSync)
Q_DECLARE_LOGGING_CATEGORY(lcSharing)
Q_DECLARE_LOGGING_CATEGORY(lcHandoff)
Q_DECLARE_LOGGING_CATEGORY(lcAnalysis)
Q_DECLARE_LOGGING_CATEGORY(lcLinks)

// Sends every log line to standard error in one plain format
// ("<category>: <message>"), whatever QT_MESSAGE_PATTERN says. Idempotent.
void installLogHandler();
} // namespace vellora
