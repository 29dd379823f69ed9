#pragma once
// The banner shown while the library could not be loaded (the store's
// loadError): the reason, and "Restore Backup…", a menu of the newest
// "library-" backups of the library folder, newest first. Nothing is written
// until the user picks one; then that backup is read and checked to be a
// library on a worker thread, written over library.json (the unreadable file
// was already kept in backups as "damaged-…" by the store) and the store
// loads again, keeping what was changed meanwhile. A backup that is no
// library is refused, with the reason in the banner, and nothing changes.
// Hidden while there is no load error.

#include <QStringList>
#include <QWidget>

class QLabel;
class QMenu;
class QPushButton;

namespace vellora {

class LibraryStore;

class LoadErrorBanner : public QWidget {
    Q_OBJECT
public:
    // How many backups the menu offers at most.
    static constexpr int kMenuSize = 10;

    explicit LoadErrorBanner(LibraryStore &store, QWidget *parent = nullptr);

    // The newest "library-" backups (full paths), newest first; listed off
    // the main thread whenever a load error appears.
    QStringList backups() const { return m_backups; }
    // The message shown.
    QString message() const;
    // The menu as it is now (new each call; the caller owns it).
    QMenu *buildMenu(QWidget *parent = nullptr);
    // Restores that backup (see above).
    void restoreBackup(const QString &path);

    QPushButton *restoreButton() const { return m_restore; }

    // The newest `limit` "library-*" files of a backups folder, newest first.
    static QStringList listBackups(const QString &backupsFolder, int limit);
    // "10 Dec 2026, 16:40" for a backup's file name, from the time stamp in
    // it; the bare name when it holds none.
    static QString backupTitle(const QString &path);

signals:
    void backupsListed();
    // A restore ended: ok, or why not.
    void restoreFinished(bool ok, const QString &message);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void refresh();

    LibraryStore &m_store;
    QStringList m_backups;
    bool m_restoring = false;
    QLabel *m_text;
    QPushButton *m_restore;
};

} // namespace vellora
