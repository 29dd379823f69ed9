// The real main window while a link's page is pictured off screen: the web
// view behind the snapshot is never a window a person sees, never takes the
// keys typed into the window, and never keeps the program from quitting.
#include "LoopbackHttpServer.h"
#include "app/AppState.h"
#include "app/MainWindow.h"
#include "enrichment/LinkPipeline.h"
#include "enrichment/PageSnapshot.h"
#include "library/LibraryStore.h"
#include "platform/Defaults.h"
#include "views/AddLinkSheet.h"
#include "views/HeaderBar.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QApplication>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <vector>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace vellora;

namespace {

bool snapshotInFlight()
{
    const QWidgetList widgets = QApplication::allWidgets();
    return std::any_of(widgets.begin(), widgets.end(), [](QWidget *w) {
        return qstrcmp(w->metaObject()->className(), "QWebEngineView") == 0;
    });
}

// The program's windows that are on screen, but for the main window.
QStringList otherVisibleWindows(const QWindow *main)
{
    QStringList names;
    for (QWindow *window : QGuiApplication::topLevelWindows())
        if (window != main && window->isVisible())
            names << QStringLiteral("%1 %2x%3").arg(QString::fromLatin1(window->metaObject()->className()))
                         .arg(window->width()).arg(window->height());
    return names;
}

} // namespace

class SnapshotWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void snapshotStaysOffScreenAndLeavesTheFocus();

private:
    LoopbackHttpServer m_server;
};

void SnapshotWindowTest::initTestCase()
{
    QVERIFY(m_server.listen());
    m_server.page("/page", "<html><head><title>Quiet Page</title></head>"
                           "<body style=\"background:#336699\">Nothing to see</body></html>");
    installPageSnapshots();
}

void SnapshotWindowTest::snapshotStaysOffScreenAndLeavesTheFocus()
{
    QTemporaryDir dir;
    Defaults settings(dir.filePath("settings.conf"));
    LibraryStore store(dir.filePath("library"), false, settings);
    zezevaveri::ScatterGridController grid;
    AppState state(store, settings, grid);
    state.setHooks(windowHooks(nullptr));
    MainWindow window(state);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.activateWindow();
    QApplication::setActiveWindow(&window);

    // Add a link the way a person does: Ctrl+L, the address, Return.
    QTest::keyClick(&window, Qt::Key_L, Qt::ControlModifier);
    AddLinkSheet *sheet = nullptr;
    QTRY_VERIFY((sheet = window.findChild<AddLinkSheet *>()) != nullptr);
    QTest::keyClicks(sheet->field(), m_server.url("/page"));
    QTest::keyClick(sheet->field(), Qt::Key_Return);
    QTRY_VERIFY(window.findChild<AddLinkSheet *>() == nullptr);
    // The offscreen platform gives the focus back to no window when a
    // sheet closes; a window manager gives it to the window. That is done
    // here before the page's view exists.
    QVERIFY(!snapshotInFlight());
    window.activateWindow();
    QApplication::setActiveWindow(&window);
    window.windowHandle()->requestActivate();
    QTRY_COMPARE(QGuiApplication::focusWindow(), window.windowHandle());

    QTRY_VERIFY_WITH_TIMEOUT(snapshotInFlight(), 10000);
    QLineEdit *search = window.findChild<HeaderBar *>()->searchField();
    QTest::mouseClick(search, Qt::LeftButton);
    QString typed;
    // All the while the page is pictured: nothing else on screen, the
    // window keeps the focus, and what is typed lands in the search field.
    while (snapshotInFlight() && typed.size() < 40) {
        QCOMPARE(otherVisibleWindows(window.windowHandle()), QStringList());
        QCOMPARE(QGuiApplication::focusWindow(), window.windowHandle());
        QCOMPARE(QApplication::activeWindow(), &window);
        QTest::keyClick(search, Qt::Key_A);
        typed += u'a';
        QTest::qWait(100);
    }
    QVERIFY2(typed.size() > 5, "the snapshot ended before the window was looked at");
    QCOMPARE(search->text(), typed);

    // Closing the window while a page is pictured leaves nothing open that
    // would keep the program running.
    const QList<Item> items = store.items();
    QCOMPARE(items.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(store.item(items[0].id)->snapshotDate.has_value(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!snapshotInFlight(), 10000);
    fetchLinkMetadata(store, items[0].id);
    QTRY_VERIFY_WITH_TIMEOUT(snapshotInFlight(), 10000);
    window.close();
    QTest::qWait(200);
    QVERIFY(snapshotInFlight());
    QCOMPARE(otherVisibleWindows(nullptr), QStringList());
}

namespace {

pid_t spawn(const std::vector<std::string> &command, int keepFd = -1)
{
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv;
        for (const std::string &a : command)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const int null = ::open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        for (int fd = 3; fd < 256; ++fd)
            if (fd != keepFd)
                ::close(fd);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// An X display of its own with a window manager on it; DISPLAY names it.
struct VirtualDisplay {
    pid_t server = -1;
    pid_t manager = -1;

    bool start()
    {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        server = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1600x1000x24", "-nolisten",
                        "tcp"},
                       fds[1]);
        ::close(fds[1]);
        std::string number;
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(fds[0]);
        if (number.empty())
            return false;
        qputenv("DISPLAY", QByteArray(":") + number.c_str());
        qputenv("QT_QPA_PLATFORM", "xcb");
        manager = spawn({"openbox"});
        usleep(800 * 1000); // openbox takes the screen
        return manager > 0;
    }
    ~VirtualDisplay()
    {
        for (pid_t pid : {manager, server})
            if (pid > 0) {
                kill(pid, SIGTERM);
                waitpid(pid, nullptr, 0);
            }
    }
};

} // namespace

int main(int argc, char **argv)
{
    VirtualDisplay display;
    if (!display.start()) {
        std::fputs("tst_snapshotwindow: could not start Xvfb and openbox\n", stderr);
        return 1;
    }
    preparePageSnapshots();
    QApplication app(argc, argv);
    SnapshotWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_snapshotwindow.moc"
