#pragma once
// A presenter of one file: told when another process changes, replaces or
// removes it. Stands in for the file presenters of the original platform.
//
// It watches the file's folder, filtered by the file's name, because an atomic
// save (temp file and rename) replaces the inode. Writes that this process
// makes itself are recorded with noteOwnWrite() right after they land; an
// event that finds the file exactly as this process left it (same inode,
// size and modification time) is not reported, so a save never makes its own
// writer reload what it just wrote.

#include <QObject>
#include <QString>

namespace vellora {

class FolderWatcher;

class FilePresenter : public QObject {
    Q_OBJECT
public:
    explicit FilePresenter(QObject *parent = nullptr);
    ~FilePresenter() override;

    // Starts presenting `filePath` (absolute), replacing an earlier one. The
    // folder must exist; false when it cannot be watched.
    bool present(const QString &filePath);
    void stop();
    QString presentedPath() const;
    bool isPresenting() const;

    // Records the file at `filePath` as written by this process, as it is on
    // disk now. Any thread. Call it after the write (and rename) completed.
    static void noteOwnWrite(const QString &filePath);

signals:
    // The file was changed, replaced or removed by someone else.
    void presentedItemDidChange();

private:
    void onFolderEvent(const QString &name);

    FolderWatcher *m_watcher;
    QString m_path;
};

} // namespace vellora
