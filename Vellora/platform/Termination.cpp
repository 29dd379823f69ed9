#include "Termination.h"

#include <QCoreApplication>
#include <QMap>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace vellora::Termination {

namespace {

int g_pipe[2] = {-1, -1};
std::atomic<int> g_received{0};
QMap<int, Hook> g_hooks;
int g_nextId = 0;

void onSignal(int signal)
{
    // Only async-signal-safe calls here.
    const int count = ++g_received;
    if (count >= 3)
        ::_exit(128 + signal);
    if (count > 1)
        return;
    const unsigned char byte = static_cast<unsigned char>(signal);
    const int saved = errno;
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

void runHooks()
{
    // A hook may remove itself (a store going away): walk a copy.
    const QMap<int, Hook> hooks = g_hooks;
    for (const Hook &hook : hooks)
        if (hook)
            hook();
}

void onReadable()
{
    unsigned char byte = 0;
    if (::read(g_pipe[0], &byte, 1) != 1)
        return;
    runHooks();
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(128 + int(byte));
}

} // namespace

bool install()
{
    static bool installed = false;
    if (installed)
        return true;
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return false;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    auto *notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [] { onReadable(); });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    installed = true;
    return true;
}

int addHook(Hook hook)
{
    const int id = ++g_nextId;
    g_hooks.insert(id, std::move(hook));
    return id;
}

void removeHook(int id)
{
    g_hooks.remove(id);
}

void runHooksForTesting(int signal)
{
    Q_UNUSED(signal);
    runHooks();
}

} // namespace vellora::Termination
