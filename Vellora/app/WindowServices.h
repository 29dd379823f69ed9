#pragma once
// What starts with the window and lives as long as it: the start task (the
// analyzer, the updater's daily check once per process, the refresh of links
// without page text, activation, and the three environment hooks of scripted
// runs), the widget snapshot after the first load, and the reaction to a
// changed library (the analyzer runs again and the widget snapshot is
// rewritten).

#include <QObject>
#include <QString>
#include <QTimer>

class QWidget;

#include <functional>
#include <optional>

namespace vellora {

class Analyzer;
class AppState;
class LibraryStore;
class MainWindow;

class WindowServices : public QObject {
    Q_OBJECT
public:
    // Rewrites the widget snapshot of a store; installed by the widget
    // snapshot's writer, nothing until then.
    static std::function<void(LibraryStore &)> &refreshWidgetSnapshot();
    // Starts the updater's periodic check; installed by the program (tests
    // leave it empty, so no check ever runs from them).
    static std::function<void()> &scheduleUpdateChecks();
    // Offers "Add to Vellora" to other programs; installed by the program.
    static std::function<void()> &registerServiceProvider();
    // The tray icon, the drop shelf and the screenshot watch; installed by
    // the program.
    static std::function<void(QWidget *window)> &startCapture();

    WindowServices(AppState &state, MainWindow &window, Analyzer &analyzer, QObject *parent = nullptr);

    // The library's start: once loaded, the widget snapshot.
    void startUp();
    // The window is on screen: the start task.
    void windowShown();

    // The environment, as the start task reads it ("VELLORA_SELECT", ...);
    // the process environment unless a test sets it.
    std::function<std::optional<QString>(const char *name)> environment;

signals:
    // The start task ran its environment hooks (VELLORA_OPEN may still wait
    // for the load).
    void startTaskFinished();

private:
    void libraryChanged();
    void applyEnvironment();

    AppState &m_state;
    MainWindow &m_window;
    Analyzer &m_analyzer;
    // What the reaction to a changed library looks at: all items, and those
    // outside the trash (trashing or restoring keeps the first).
    qsizetype m_itemCount = -1;
    qsizetype m_activeCount = -1;
    // The edits told since the last itemsChanged(): counts move by them
    // instead of a pass over the library.
    bool m_editSeen = false;
    qsizetype m_activeDelta = 0;
    // The analyzer looks for work a moment after the last change, not in
    // the turn that paints it.
    QTimer *m_analyzeSoon = nullptr;
};

} // namespace vellora
