#pragma once
// Which way the program starts: one of the headless modes, or the window.
// A pure function of the argument list and the environment.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace vellora {

class Defaults;

enum class StartupMode {
    Normal,
    SelfCheck,
    PrintContainer,
    Migrate,
    Import,
    ImportLibrary,
    AddLink,
    Share,
    Update,
    IngestDrops,
    AddToLibrary,
};

struct StartupChoice {
    StartupMode mode = StartupMode::Normal;
    // Index in the argument list of the option that chose the mode; -1 for
    // the environment tests and the normal start.
    qsizetype optionIndex = -1;

    // The arguments after the option, to the end of the list.
    QStringList argumentsAfter(const QStringList &arguments) const;
    // The arguments that may set user defaults ("-KEY value"): all of them,
    // except that for a mode whose arguments are data (file paths, links,
    // a folder) only those before its option count, so a file named like
    // "-libraryLocation" never moves the import to another library.
    QStringList defaultsArguments(const QStringList &arguments) const;
    bool operator==(const StartupChoice &) const = default;
};

// `arguments` starts with the program path. Options are whole, case-sensitive
// strings; the first test that applies wins, in this order: "--selfcheck",
// VELLORA_PRINT_CONTAINER, VELLORA_MIGRATE, "--import", "--import-library",
// "--add-link", "--share" with an argument after it, "--update",
// "--ingest-drops", "--add-to-library". Other arguments are ignored.
StartupChoice chooseStartupMode(const QStringList &arguments, const QProcessEnvironment &environment);

// The option or variable that names a mode ("--import", "VELLORA_MIGRATE").
QString startupModeName(StartupMode mode);

// The section shown first: the stored "lastBoard", except when it is missing,
// not a string, or the retired "instagram", which give "inbox".
QString initialSelection(const Defaults &defaults);

} // namespace vellora
