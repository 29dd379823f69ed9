#include "SettingsView.h"

#include "platform/Ubiquity.h"

#include "Glass.h"
#include "PlainText.h"
#include "WindowBackground.h"
#include "library/LibraryLocation.h"
#include "library/LibraryStore.h"
#include "enrichment/LanguageFeatures.h"
#include "library/Media.h"
#include "platform/Defaults.h"
#include "platform/FileCoordination.h"
#include "platform/LanguageModel.h"
#include "platform/Places.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPainter>
#include <QPushButton>
#include <QThreadPool>
#include <QVBoxLayout>

namespace vellora {

namespace {
constexpr char kImportScreenshotsKey[] = "importScreenshots";
constexpr char kCapKey[] = "localStorageCapMB";

// What a text field leaves in the settings: its trimmed text, and a cleared
// field removes the key rather than storing an empty value.
void storeFieldText(const char *key, const QLineEdit *field)
{
    const QString text = field->text().trimmed();
    if (text.isEmpty())
        Defaults::standard().remove(QString::fromLatin1(key));
    else
        Defaults::standard().set(QString::fromLatin1(key), text);
}

const char *const kStyle = R"(
QLabel { color: rgb(214,214,214); font-size: 13px; }
QLabel[heading="true"] { color: rgba(255,255,255,130); font-size: 11px; font-weight: 600; letter-spacing: 1px; }
QLabel[note="true"] { color: rgba(255,255,255,120); font-size: 12px; }
QCheckBox { color: rgb(214,214,214); font-size: 13px; spacing: 8px; }
QCheckBox::indicator { width: 14px; height: 14px; border-radius: 4px; border: 1px solid rgba(255,255,255,90);
                       background: rgba(255,255,255,14); }
QCheckBox::indicator:checked { background: rgb(10,132,255); border-color: rgb(10,132,255); }
QLineEdit { background: rgba(255,255,255,16); color: rgb(214,214,214); border: 1px solid rgba(255,255,255,30);
            border-radius: 7px; padding: 4px 8px; font-size: 13px; }
QComboBox { background: rgba(255,255,255,16); color: rgb(214,214,214); border: 1px solid rgba(255,255,255,30);
            border-radius: 7px; padding: 3px 8px; font-size: 13px; }
QComboBox QAbstractItemView { background: rgb(44,44,44); color: rgb(214,214,214); selection-background-color: rgb(70,70,70); }
QPushButton { color: rgb(214,214,214); background: rgba(255,255,255,20); border: 1px solid rgba(255,255,255,36);
              border-radius: 13px; padding: 4px 14px; font-size: 13px; }
QPushButton:disabled { color: rgba(255,255,255,90); }
)";

QString locationTitle(const QString &location)
{
    if (location == QLatin1String("icloud"))
        return QCoreApplication::translate("vellora::SettingsView", "Synced folder, app data");
    if (location == QLatin1String("iclouddrive"))
        return QCoreApplication::translate("vellora::SettingsView", "Synced folder, Vellora.library");
    return QCoreApplication::translate("vellora::SettingsView", "This computer");
}
} // namespace

const QStringList &SettingsView::locations()
{
    static const QStringList places = {QStringLiteral("local"), QStringLiteral("icloud"), QStringLiteral("iclouddrive")};
    return places;
}

const QList<int> &SettingsView::caps()
{
    static const QList<int> values = {0, 500, 1000, 2000, 5000, 10000, 20000, 50000};
    return values;
}

SettingsView::SettingsView(LibraryStore &store, QWidget *parent)
    : QWidget(parent), m_store(store), m_network(new QNetworkAccessManager(this))
{
    setWindowTitle(tr("Settings"));
    setStyleSheet(QString::fromLatin1(kStyle));
    setMinimumWidth(520);
    Defaults &defaults = Defaults::standard();

    m_column = new QVBoxLayout(this);
    m_column->setContentsMargins(28, 24, 28, 24);
    m_column->setSpacing(8);

    // Capture
    m_column->addWidget(heading(tr("Capture")));
    m_screenshots = new QCheckBox(tr("Import new screenshots into the Inbox"));
    m_screenshots->setChecked(defaults.boolean(QString::fromLatin1(kImportScreenshotsKey), false));
    connect(m_screenshots, &QCheckBox::toggled, this, [this](bool on) {
        Defaults::standard().set(QString::fromLatin1(kImportScreenshotsKey), on);
        emit importScreenshotsChanged(on);
    });
    m_column->addWidget(m_screenshots);

    // Library
    m_column->addSpacing(14);
    m_column->addWidget(heading(tr("Library")));
    m_root = note(QString());
    m_root->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_column->addWidget(m_root);
    auto *placeRow = new QHBoxLayout;
    placeRow->setSpacing(8);
    placeRow->addWidget(new QLabel(tr("Keep it in")));
    m_location = new QComboBox;
    for (const QString &place : locations())
        m_location->addItem(locationTitle(place), place);
    placeRow->addWidget(m_location, 1);
    m_move = new QPushButton(tr("Move Library"));
    placeRow->addWidget(m_move);
    m_column->addLayout(placeRow);
    m_status = note(QString());
    m_status->setWordWrap(true);
    m_column->addWidget(m_status);
    connect(m_location, &QComboBox::currentIndexChanged, this, [this] { refreshLocation(); });
    connect(m_move, &QPushButton::clicked, this, &SettingsView::moveLibrary);

    auto *capRow = new QHBoxLayout;
    capRow->setSpacing(8);
    capRow->addWidget(new QLabel(tr("Originals kept on this computer")));
    m_cap = new QComboBox;
    QList<int> offered = caps();
    const int cap = int(defaults.integer(QString::fromLatin1(kCapKey), 0));
    if (!offered.contains(cap)) {
        offered << cap;
        std::sort(offered.begin(), offered.end());
    }
    for (int value : offered)
        m_cap->addItem(storageCapLabel(value), value);
    m_cap->setCurrentIndex(int(offered.indexOf(cap)));
    capRow->addWidget(m_cap);
    capRow->addStretch(1);
    m_column->addLayout(capRow);
    // Only what this computer's synced folder can do is promised.
    m_capNote = note(Ubiquity::current().canEvict()
                         ? tr("Applies to a library in the synced folder: the least recently opened "
                                          "originals are removed from this computer above the cap.")
                         : tr("On this computer the synced folder keeps every original on disk: it "
                                          "cannot remove a file and keep it in the cloud, so nothing is removed "
                                          "above the cap."));
    m_column->addWidget(m_capNote);
    connect(m_cap, &QComboBox::currentIndexChanged, this, [this](int index) {
        Defaults::standard().set(QString::fromLatin1(kCapKey), m_cap->itemData(index).toInt());
        m_store.enforceStorageCap();
    });

    // Language model
    m_column->addSpacing(14);
    m_column->addWidget(heading(tr("Language model")));
    auto *modelRow = new QHBoxLayout;
    modelRow->setSpacing(8);
    m_modelURL = new QLineEdit(defaults.string(QString::fromLatin1(kLanguageModelURLKey)));
    m_modelURL->setPlaceholderText(QStringLiteral("http://127.0.0.1:8080"));
    modelRow->addWidget(m_modelURL, 1);
    m_test = new QPushButton(tr("Test"));
    modelRow->addWidget(m_test);
    m_column->addLayout(modelRow);
    m_testLabel = note(tr("An OpenAI-compatible server on this computer (llama.cpp, Ollama). "
                                      "Without one, tags, insights and rules are not written for you."));
    m_testLabel->setWordWrap(true);
    m_column->addWidget(m_testLabel);
    auto *nameRow = new QHBoxLayout;
    nameRow->setSpacing(8);
    nameRow->addWidget(new QLabel(tr("Model")));
    m_modelName = new QLineEdit(defaults.string(QString::fromLatin1(kLanguageModelNameKey)));
    m_modelName->setPlaceholderText(tr("The server's own"));
    nameRow->addWidget(m_modelName, 1);
    m_column->addLayout(nameRow);
    m_restLabel = note(QString());
    m_restLabel->setWordWrap(true);
    m_column->addWidget(m_restLabel);
    connect(m_modelURL, &QLineEdit::editingFinished, this,
            [this] { storeFieldText(kLanguageModelURLKey, m_modelURL); });
    connect(m_modelName, &QLineEdit::editingFinished, this,
            [this] { storeFieldText(kLanguageModelNameKey, m_modelName); });
    connect(m_test, &QPushButton::clicked, this, &SettingsView::testLanguageModel);
    auto showRest = [this] {
        const QString rest = languageModelRestNote();
        m_restLabel->setText(rest);
        m_restLabel->setVisible(!rest.isEmpty());
    };
    connect(static_cast<LanguageModelRests *>(&LanguageModel::restSignals()), &LanguageModelRests::changed, this,
            showRest);
    connect(&defaults, &Defaults::changed, this, showRest);
    showRest();

    // Synced folder
    m_column->addSpacing(14);
    m_column->addWidget(heading(tr("Synced folder")));
    auto *syncedRow = new QHBoxLayout;
    syncedRow->setSpacing(8);
    m_synced = new QLineEdit(defaults.string(QString::fromLatin1(kSyncedFolderKey)));
    m_synced->setPlaceholderText(tr("A folder your sync client keeps in step"));
    syncedRow->addWidget(m_synced, 1);
    auto *choose = new QPushButton(tr("Choose…"));
    syncedRow->addWidget(choose);
    m_column->addLayout(syncedRow);
    m_syncedNote = note(QString());
    m_syncedNote->setWordWrap(true);
    m_column->addWidget(m_syncedNote);
    connect(m_synced, &QLineEdit::editingFinished, this, [this] {
        storeFieldText(kSyncedFolderKey, m_synced);
        refreshSyncedNote();
    });
    connect(choose, &QPushButton::clicked, this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(this, tr("Synced Folder"), m_synced->text());
        if (folder.isEmpty())
            return;
        m_synced->setText(folder);
        emit m_synced->editingFinished();
    });

    m_column->addStretch(1);
    connect(&m_store, &LibraryStore::rootChanged, this, [this] { refreshLocation(); });
    const int current = int(locations().indexOf(location()));
    m_location->setCurrentIndex(current < 0 ? 0 : current);
    refreshLocation();
    refreshSyncedNote();
}

void SettingsView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), windowBackground());
}

QLabel *SettingsView::heading(const QString &text)
{
    auto *label = new QLabel(text.toUpper());
    label->setProperty("heading", true);
    return label;
}

// Notes carry paths and the answers of servers.
QLabel *SettingsView::note(const QString &text)
{
    auto *label = plainLabel(text);
    label->setProperty("note", true);
    label->setWordWrap(true);
    return label;
}

bool SettingsView::importScreenshots() const { return m_screenshots->isChecked(); }

QString SettingsView::location() const
{
    return Defaults::standard().string(QString::fromLatin1(LibraryLocation::kLocationKey), QStringLiteral("local"));
}

int SettingsView::capMB() const { return m_cap->currentData().toInt(); }

bool SettingsView::inCloud() const { return m_location->currentData().toString() != QLatin1String("local"); }

void SettingsView::addSection(const QString &title, QWidget *section)
{
    const int end = m_column->count() - 1; // before the stretch
    m_column->insertSpacing(end, 14);
    m_column->insertWidget(end + 1, heading(title));
    m_column->insertWidget(end + 2, section);
}

void SettingsView::setStatus(const QString &text)
{
    m_statusText = text;
    m_status->setText(text);
    emit statusChanged(text);
}

void SettingsView::setMoving(bool moving)
{
    if (m_moving == moving)
        return;
    m_moving = moving;
    refreshLocation();
    emit movingChanged(moving);
}

void SettingsView::refreshLocation()
{
    m_root->setText(m_store.root());
    const bool fixed = !qEnvironmentVariableIsEmpty("VELLORA_ROOT");
    const QString chosen = m_location->currentData().toString();
    const std::optional<QString> target = LibraryLocation::url(chosen);
    m_move->setEnabled(!fixed && !m_moving && target && *target != m_store.root());
    m_location->setEnabled(!m_moving && !fixed);
    if (fixed && m_statusText.isEmpty())
        m_status->setText(tr("The library folder is set by VELLORA_ROOT."));
    else if (!target && !m_moving)
        m_status->setText(QString::fromLatin1(LibraryLocation::kICloudUnavailable));
    else
        m_status->setText(m_statusText);
}

void SettingsView::refreshSyncedNote()
{
    const QString path = m_synced->text().trimmed();
    if (path.isEmpty())
        m_syncedNote->setText(tr("Without a synced folder the library stays on this computer."));
    else if (!QFileInfo(path).isDir())
        m_syncedNote->setText(tr("This folder does not exist."));
    else
        m_syncedNote->setText(tr("Used when Vellora starts again."));
}

void SettingsView::moveLibrary()
{
    const QString target = m_location->currentData().toString();
    if (m_moving || target.isEmpty())
        return;
    setMoving(true);
    setStatus(tr("Moving the library…"));
    QPointer<SettingsView> self(this);
    auto post = [self](std::function<void(SettingsView &)> fn) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, fn = std::move(fn)] {
                if (self)
                    fn(*self);
            },
            Qt::QueuedConnection);
    };
    auto move = [self, target, post] {
        if (!self)
            return;
        QThreadPool::globalInstance()->start([target, post] {
            QString failure;
            bool reused = false;
            try {
                const LibraryLocation::MigrationResult result = LibraryLocation::migrate(
                    target, [post](const QString &line) { post([line](SettingsView &view) { view.setStatus(line); }); });
                reused = result.reusedExisting;
            } catch (const FileError &error) {
                failure = error.description();
            } catch (const std::exception &error) {
                failure = QString::fromLocal8Bit(error.what());
            }
            post([failure, reused](SettingsView &view) {
                view.setMoving(false);
                if (!failure.isEmpty()) {
                    view.setStatus(tr("Move failed: %1").arg(failure));
                    emit view.moveFinished(false, QString());
                    return;
                }
                const QString root = LibraryLocation::root();
                if (reused)
                    view.setStatus(tr("Opened the library already at %1").arg(root));
                view.m_store.reopen(root);
                view.refreshLocation();
                emit view.moveFinished(true, root);
            });
        });
    };
    // What is still in memory goes to the old place first, then moves with
    // it; the window does not wait for that write.
    if (m_store.loaded() && (m_store.hasUnsavedChanges() || m_store.savePending()))
        m_store.saveSoon([move](bool) { move(); });
    else
        move();
}

void SettingsView::testLanguageModel()
{
    if (m_testing)
        return;
    emit m_modelURL->editingFinished();
    emit m_modelName->editingFinished();
    const QUrl endpoint = LanguageModel::endpointFromSetting(m_modelURL->text().trimmed());
    auto report = [this](bool working, const QString &text) {
        m_testText = text;
        m_testLabel->setText(text);
        emit testFinished(working);
    };
    if (endpoint.isEmpty()) {
        report(false, tr("Not an http or https address."));
        return;
    }
    // The server's list of models: a server that serves one answers it.
    QNetworkRequest request(endpoint.resolved(QUrl(QStringLiteral("../models"))));
    request.setTransferTimeout(5000);
    m_testing = true;
    m_test->setEnabled(false);
    m_testLabel->setText(tr("Asking…"));
    QNetworkReply *reply = m_network->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply, report] {
        reply->deleteLater();
        m_testing = false;
        m_test->setEnabled(true);
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid()) {
            report(false, tr("No answer: %1").arg(reply->errorString()));
            return;
        }
        // Something speaks HTTP there, but an error status is no model to
        // ask: the test fails and a rest after an earlier failure goes on.
        const int code = status.toInt();
        if (code < 200 || code >= 300) {
            report(false, tr("Test failed: the server answered HTTP %1.").arg(code));
            return;
        }
        // A good answer means the server is back: the model's rest after
        // an earlier failure ends now.
        LanguageModel::systemDefault().rest(0);
        report(true, tr("The server answered (HTTP %1).").arg(code));
    });
}

} // namespace vellora
