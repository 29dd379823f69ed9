#pragma once
// The settings window's form:
//   - screenshot import ("importScreenshots"); the owner starts or stops the
//     folder watcher on importScreenshotsChanged;
//   - the library's place ("libraryLocation": this computer, the synced
//     folder's app folder, or its "Vellora.library"), with "Move Library",
//     which moves the files on a worker thread, shows each progress line in
//     the status text and reopens the store at the new place;
//   - the storage cap of a library in the synced folder ("localStorageCapMB",
//     labelled with storageCapLabel);
//   - the language model's address ("languageModelURL") with "Test", which
//     asks the server without blocking the window and reports whether it
//     answered (a good answer ends the model's rest after a failure), the
//     model's name ("languageModelName"), and a line while the model rests;
//   - the synced folder that serves as the cloud place ("syncedFolder"; read
//     at start, so a change takes effect at the next start).
// Values are read from and written to the user defaults.

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QNetworkAccessManager;
class QPushButton;
class QVBoxLayout;

namespace vellora {

class LibraryStore;

class SettingsView : public QWidget {
    Q_OBJECT
public:
    // The three places, as stored under "libraryLocation", in menu order.
    static const QStringList &locations();
    // The caps the menu offers, in megabytes (0 = Unlimited).
    static const QList<int> &caps();

    explicit SettingsView(LibraryStore &store, QWidget *parent = nullptr);

    bool importScreenshots() const;
    QString location() const;
    int capMB() const;
    // Whether the chosen place is in the synced folder.
    bool inCloud() const;
    // True while a move runs.
    bool moving() const { return m_moving; }
    // The last progress line of a move, or its failure.
    QString status() const { return m_statusText; }
    // What the last "Test" found ("" before the first).
    QString testResult() const { return m_testText; }

    // Adds a section at the end of the form (the updater's, for instance).
    void addSection(const QString &title, QWidget *section);

    // Moves the library to the place chosen in the menu.
    void moveLibrary();
    // Asks the language model's server whether it answers.
    void testLanguageModel();

    // The controls, for tests.
    QCheckBox *screenshotBox() const { return m_screenshots; }
    QComboBox *locationBox() const { return m_location; }
    QPushButton *moveButton() const { return m_move; }
    QLabel *statusLabel() const { return m_status; }
    QComboBox *capBox() const { return m_cap; }
    // What the cap does on this computer.
    QLabel *capNote() const { return m_capNote; }
    QLineEdit *modelField() const { return m_modelURL; }
    QLineEdit *modelNameField() const { return m_modelName; }
    // Says that the model rests after a failure; hidden when it does not.
    QLabel *restLabel() const { return m_restLabel; }
    QPushButton *testButton() const { return m_test; }
    QLabel *testLabel() const { return m_testLabel; }
    QLineEdit *syncedFolderField() const { return m_synced; }
    QLabel *syncedFolderNote() const { return m_syncedNote; }

signals:
    void importScreenshotsChanged(bool on);
    void movingChanged(bool moving);
    void statusChanged(const QString &status);
    // A move ended; `root` is the library's new folder on success.
    void moveFinished(bool ok, const QString &root);
    // `working`: the server answered the test with a success status.
    void testFinished(bool working);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QLabel *heading(const QString &text);
    QLabel *note(const QString &text);
    void setStatus(const QString &text);
    void setMoving(bool moving);
    void refreshLocation();
    void refreshSyncedNote();

    LibraryStore &m_store;
    bool m_moving = false;
    QString m_statusText;
    QString m_testText;
    bool m_testing = false;

    QVBoxLayout *m_column;
    QCheckBox *m_screenshots;
    QLabel *m_root;
    QComboBox *m_location;
    QPushButton *m_move;
    QLabel *m_status;
    QComboBox *m_cap;
    QLabel *m_capNote;
    QLineEdit *m_modelURL;
    QLineEdit *m_modelName;
    QLabel *m_restLabel;
    QPushButton *m_test;
    QLabel *m_testLabel;
    QLineEdit *m_synced;
    QLabel *m_syncedNote;
    QNetworkAccessManager *m_network;
};

} // namespace vellora
