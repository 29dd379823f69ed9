#pragma once
// A small key-value store that follows the user from machine to machine.
// Values are plain property-list objects: strings, numbers, booleans (and
// lists or maps of them). Changes made by this process never come back as
// external changes; changes that another machine (or process) wrote are
// announced with changedExternally(keys), keys that appeared, changed or
// went away.

#include <QObject>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

class QFileSystemWatcher;

namespace vellora {

class KeyValueStore : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Reads what other machines wrote meanwhile; false when nothing could be read.
    virtual bool synchronize() = 0;
    virtual QVariantMap dictionaryRepresentation() const = 0;
    // An invalid QVariant when the store holds nothing for the key.
    virtual QVariant object(const QString &key) const = 0;
    virtual void setObject(const QString &key, const QVariant &value) = 0;
    virtual void removeObject(const QString &key) = 0;

signals:
    void changedExternally(const QStringList &changedKeys);
};

// The store as a JSON document ("KeyValueStore.json") in a synced folder. With
// no folder it is inert: it holds nothing and ignores writes. A document that
// exists but does not decode is never overwritten; the store then holds
// nothing and refuses writes until the file decodes again.
class FileKeyValueStore final : public KeyValueStore {
    Q_OBJECT
public:
    static constexpr const char *kFileName = "KeyValueStore.json";

    // `folder` empty: inert.
    explicit FileKeyValueStore(const QString &folder, QObject *parent = nullptr);
    ~FileKeyValueStore() override;

    bool isInert() const { return m_folder.isEmpty(); }
    QString filePath() const;

    bool synchronize() override;
    QVariantMap dictionaryRepresentation() const override { return m_values; }
    QVariant object(const QString &key) const override { return m_values.value(key); }
    void setObject(const QString &key, const QVariant &value) override;
    void removeObject(const QString &key) override;

private:
    enum class ReadResult { Read, Absent, Failed };
    ReadResult readFile(QVariantMap &out) const;
    // Takes in what is on disk, announcing what changed there.
    bool refresh();
    void write();
    void watch();

    QString m_folder;
    QVariantMap m_values;
    bool m_writable = false;
    QFileSystemWatcher *m_watcher = nullptr;
};

} // namespace vellora
