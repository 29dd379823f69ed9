#include "KeyValueStore.h"

#include "AtomicFile.h"
#include "Logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>

#include <nlohmann/json.hpp>

#include <limits>

namespace vellora {

namespace {

using json = nlohmann::json;

json toJson(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        return value.toLongLong();
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return value.toULongLong();
    case QMetaType::Float:
    case QMetaType::Double:
        return value.toDouble();
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        json list = json::array();
        for (const QVariant &v : value.toList())
            list.push_back(toJson(v));
        return list;
    }
    case QMetaType::QVariantMap: {
        json map = json::object();
        const QVariantMap m = value.toMap();
        for (auto it = m.begin(); it != m.end(); ++it)
            map[it.key().toStdString()] = toJson(it.value());
        return map;
    }
    default:
        return value.toString().toStdString();
    }
}

QVariant fromJson(const json &value)
{
    switch (value.type()) {
    case json::value_t::boolean:
        return value.get<bool>();
    case json::value_t::number_integer:
        return QVariant::fromValue(value.get<qint64>());
    case json::value_t::number_unsigned: {
        // The parser reads every non-negative integer as unsigned.
        const quint64 n = value.get<quint64>();
        if (n <= quint64(std::numeric_limits<qint64>::max()))
            return QVariant::fromValue(qint64(n));
        return QVariant::fromValue(n);
    }
    case json::value_t::number_float:
        return value.get<double>();
    case json::value_t::string:
        return QString::fromStdString(value.get<std::string>());
    case json::value_t::array: {
        QVariantList list;
        for (const json &v : value)
            list.append(fromJson(v));
        return list;
    }
    case json::value_t::object: {
        QVariantMap map;
        for (auto it = value.begin(); it != value.end(); ++it)
            map.insert(QString::fromStdString(it.key()), fromJson(it.value()));
        return map;
    }
    default:
        return {};
    }
}

QStringList differingKeys(const QVariantMap &before, const QVariantMap &after)
{
    QStringList keys;
    for (auto it = after.begin(); it != after.end(); ++it) {
        auto old = before.find(it.key());
        if (old == before.end() || old.value() != it.value())
            keys.append(it.key());
    }
    for (auto it = before.begin(); it != before.end(); ++it) {
        if (!after.contains(it.key()))
            keys.append(it.key());
    }
    return keys;
}

} // namespace

FileKeyValueStore::FileKeyValueStore(const QString &folder, QObject *parent)
    : KeyValueStore(parent)
    , m_folder(folder)
{
    if (isInert())
        return;
    QVariantMap initial;
    switch (readFile(initial)) {
    case ReadResult::Read:
        m_values = initial;
        m_writable = true;
        break;
    case ReadResult::Absent:
        m_writable = true;
        break;
    case ReadResult::Failed:
        m_writable = false;
        break;
    }
    watch();
}

FileKeyValueStore::~FileKeyValueStore() = default;

QString FileKeyValueStore::filePath() const
{
    if (isInert())
        return {};
    return QDir(m_folder).filePath(QString::fromLatin1(kFileName));
}

FileKeyValueStore::ReadResult FileKeyValueStore::readFile(QVariantMap &out) const
{
    QFile file(filePath());
    if (!file.exists())
        return ReadResult::Absent;
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcVellora, "settings: key-value store not readable: %s", qPrintable(file.errorString()));
        return ReadResult::Failed;
    }
    const QByteArray bytes = file.readAll();
    const json doc = json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        qCWarning(lcVellora, "settings: key-value store does not decode, left untouched: %s",
                  qPrintable(file.fileName()));
        return ReadResult::Failed;
    }
    out = fromJson(doc).toMap();
    return ReadResult::Read;
}

bool FileKeyValueStore::refresh()
{
    if (isInert())
        return false;
    QVariantMap onDisk;
    switch (readFile(onDisk)) {
    case ReadResult::Failed:
        m_writable = false;
        return false;
    case ReadResult::Absent:
        // Gone from disk: every key we knew was removed elsewhere.
        onDisk.clear();
        break;
    case ReadResult::Read:
        break;
    }
    m_writable = true;
    watch();
    const QStringList changed = differingKeys(m_values, onDisk);
    m_values = onDisk;
    if (!changed.isEmpty())
        emit changedExternally(changed);
    return true;
}

bool FileKeyValueStore::synchronize()
{
    return refresh();
}

void FileKeyValueStore::setObject(const QString &key, const QVariant &value)
{
    if (isInert())
        return;
    // Take in what others wrote first, so a write never undoes their keys.
    refresh();
    if (!m_writable) {
        qCWarning(lcVellora, "settings: key-value store not written: %s does not decode", qPrintable(filePath()));
        return;
    }
    m_values.insert(key, value);
    write();
}

void FileKeyValueStore::removeObject(const QString &key)
{
    if (isInert())
        return;
    refresh();
    if (!m_writable || !m_values.contains(key))
        return;
    m_values.remove(key);
    write();
}

void FileKeyValueStore::write()
{
    QDir().mkpath(m_folder);
    const std::string text = toJson(m_values).dump(2) + "\n";
    const QByteArray bytes(text.data(), qsizetype(text.size()));
    try {
        writeFileAtomically(filePath(), bytes, Durability::Durable);
    } catch (const FileError &error) {
        qCWarning(lcVellora, "settings: key-value store not written: %s: %s", qPrintable(filePath()),
                  qPrintable(error.description()));
        return;
    }
    watch();
}

void FileKeyValueStore::watch()
{
    if (!m_watcher) {
        m_watcher = new QFileSystemWatcher(this);
        // An atomic save replaces the file, so the folder is what tells us.
        connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] { refresh(); });
        connect(m_watcher, &QFileSystemWatcher::fileChanged, this, [this] { refresh(); });
    }
    if (QFileInfo::exists(m_folder) && !m_watcher->directories().contains(m_folder))
        m_watcher->addPath(m_folder);
    const QString file = filePath();
    if (QFileInfo::exists(file) && !m_watcher->files().contains(file))
        m_watcher->addPath(file);
}

} // namespace vellora
