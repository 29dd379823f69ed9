#pragma once
// What every headless mode shares: waiting on the main thread while the
// mode's work runs, and the end of the process. Their lines go through
// printLine() (platform/Console.h).

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace vellora {

// Set once by the mode's own work, on the main thread; read between slices
// of the event loop.
using CompletionFlag = std::shared_ptr<bool>;
inline CompletionFlag makeCompletionFlag() { return std::make_shared<bool>(false); }
// For a mode whose result is its exit status: empty until the work ends.
using ResultFlag = std::shared_ptr<std::optional<bool>>;
inline ResultFlag makeResultFlag() { return std::make_shared<std::optional<bool>>(); }

// Turns the main event loop in slices of `sliceSeconds` until `done` holds.
// No time limit: a mode ends when its work says so.
void runEventLoopUntil(const std::function<bool()> &done, double sliceSeconds = 0.1);
void waitForCompletion(const CompletionFlag &flag);
void waitForResult(const ResultFlag &flag);

// Ends the process with `status` once the output is out. Nothing after the
// mode's last line may turn a success into a crash, so static destructors and
// the application's teardown are skipped.
[[noreturn]] void finishProcess(int status);

} // namespace vellora
