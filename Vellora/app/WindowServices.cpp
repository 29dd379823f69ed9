#include "WindowServices.h"

#include "AppState.h"
#include "EnvironmentHooks.h"
#include "MainWindow.h"

#include "enrichment/Analyzer.h"
#include "enrichment/LinkPipeline.h"
#include "library/LibraryStore.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <optional>

namespace vellora {

namespace {

qsizetype activeCount(const LibraryStore &store)
{
    return std::count_if(store.items().cbegin(), store.items().cend(), [](const Item &item) { return !item.trashedAt; });
}

} // namespace

std::function<void(LibraryStore &)> &WindowServices::refreshWidgetSnapshot()
{
    static std::function<void(LibraryStore &)> hook;
    return hook;
}

std::function<void()> &WindowServices::scheduleUpdateChecks()
{
    static std::function<void()> hook;
    return hook;
}

std::function<void()> &WindowServices::registerServiceProvider()
{
    static std::function<void()> hook;
    return hook;
}

std::function<void(QWidget *)> &WindowServices::startCapture()
{
    static std::function<void(QWidget *)> hook;
    return hook;
}

WindowServices::WindowServices(AppState &state, MainWindow &window, Analyzer &analyzer, QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_window(window)
    , m_analyzer(analyzer)
{
    environment = [](const char *name) -> std::optional<QString> {
        if (!qEnvironmentVariableIsSet(name))
            return std::nullopt;
        return qEnvironmentVariable(name);
    };
    m_itemCount = m_state.store().items().size();
    m_activeCount = activeCount(m_state.store());
    m_analyzeSoon = new QTimer(this);
    m_analyzeSoon->setSingleShot(true);
    m_analyzeSoon->setInterval(300);
    connect(m_analyzeSoon, &QTimer::timeout, this, [this] { m_analyzer.schedule(); });
    connect(&m_state.store(), &LibraryStore::itemsEdited, this, [this](const ItemChanges &changes) {
        m_editSeen = true;
        m_activeDelta += changes.activeDelta;
    });
    connect(&m_state.store(), &LibraryStore::itemsChanged, this, &WindowServices::libraryChanged);
}

void WindowServices::startUp()
{
    QPointer<WindowServices> self(this);
    m_state.store().waitUntilLoaded([self](bool loaded) {
        if (!self || !loaded)
            return;
        if (refreshWidgetSnapshot())
            refreshWidgetSnapshot()(self->m_state.store());
    });
}

void WindowServices::libraryChanged()
{
    const LibraryStore &store = m_state.store();
    // After edits of known records the count outside the trash moves by
    // what they told; anything else counts again.
    const qsizetype active = m_editSeen ? m_activeCount + m_activeDelta : activeCount(store);
    m_editSeen = false;
    m_activeDelta = 0;
    const bool changed = store.items().size() != m_itemCount || active != m_activeCount;
    m_itemCount = store.items().size();
    m_activeCount = active;
    if (!changed)
        return;
    m_analyzeSoon->start();
    if (refreshWidgetSnapshot())
        refreshWidgetSnapshot()(m_state.store());
}

void WindowServices::windowShown()
{
    if (registerServiceProvider())
        registerServiceProvider()();
    m_analyzer.schedule();
    if (startCapture())
        startCapture()(&m_window);
    if (scheduleUpdateChecks())
        scheduleUpdateChecks()();
    refreshLinksWhenLoaded(m_state.store());
    describeLinksWhenModelAvailable(m_state.store());
    m_window.raise();
    m_window.activateWindow();
    // The hooks act on the window once it is on screen: on a later turn.
    QPointer<WindowServices> self(this);
    QTimer::singleShot(0, this, [self] {
        if (self)
            self->applyEnvironment();
    });
}

void WindowServices::applyEnvironment()
{
    if (!m_window.isVisible()) {
        emit startTaskFinished();
        return;
    }
    if (const auto name = environment("VELLORA_SELECT"))
        m_state.selectSectionNamed(*name);
    if (const auto id = environment("VELLORA_OPEN")) {
        QPointer<AppState> state(&m_state);
        const QString target = *id;
        m_state.store().waitUntilLoaded([state, target](bool) {
            if (state)
                state->openItem(target);
        });
    }
    if (const auto value = environment("VELLORA_WINDOW")) {
        if (const auto size = windowSizeFromEnvironment(*value))
            m_window.setContentSize(*size);
    }
    emit startTaskFinished();
}

} // namespace vellora
