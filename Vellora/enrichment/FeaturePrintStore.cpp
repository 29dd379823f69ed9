#include "FeaturePrintStore.h"

#include "platform/AtomicFile.h"
#include "platform/Logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace vellora {

namespace {
struct PlistDeleter {
    void operator()(plist_t p) const { plist_free(p); }
};
using Plist = std::unique_ptr<void, PlistDeleter>;

} // namespace

QByteArray encodeFeaturePrints(const FeaturePrints &prints)
{
    Plist root(plist_new_dict());
    for (auto it = prints.cbegin(); it != prints.cend(); ++it) {
        const QByteArray data = it.value().encode();
        if (data.isEmpty())
            continue;
        plist_dict_set_item(root.get(), it.key().toUtf8().constData(),
                            plist_new_data(data.constData(), uint64_t(data.size())));
    }
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root.get(), &bytes, &length);
    QByteArray out(bytes, qsizetype(length));
    plist_to_bin_free(bytes);
    return out;
}

FeaturePrints decodeFeaturePrints(const QByteArray &data)
{
    FeaturePrints prints;
    if (data.isEmpty() || quint64(data.size()) > 0xffffffffull)
        return prints;
    plist_t parsed = nullptr;
    plist_from_bin(data.constData(), uint32_t(data.size()), &parsed);
    Plist root(parsed);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return prints;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(root.get(), &iter);
    if (!iter)
        return prints;
    prints.reserve(qsizetype(plist_dict_get_size(root.get())));
    for (;;) {
        char *key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root.get(), iter, &key, &value);
        if (!key)
            break;
        const QString id = QString::fromUtf8(key);
        std::free(key);
        if (!value || plist_get_node_type(value) != PLIST_DATA)
            continue;
        char *bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(value, &bytes, &length);
        const FeaturePrint print = FeaturePrint::decode(QByteArray(bytes, qsizetype(length)));
        std::free(bytes);
        if (!print.isNull())
            prints.insert(id, print);
    }
    std::free(iter);
    return prints;
}

FeaturePrints readFeaturePrints(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return decodeFeaturePrints(file.readAll());
}

bool writeFeaturePrints(const QString &path, const FeaturePrints &prints)
{
    const QFileInfo info(path);
    const QString folder = info.absolutePath();
    QDir().mkpath(folder); // a failure shows in the open below
    const QByteArray data = encodeFeaturePrints(prints);
    if (data.isEmpty())
        return false;

    try {
        writeFileAtomically(path, data, Durability::Durable);
    } catch (const FileError &error) {
        qCWarning(lcAnalysis, "prints: cannot write %s: %s", qPrintable(path), qPrintable(error.description()));
        return false;
    }
    return true;
}

} // namespace vellora

namespace vellora {
QHash<QString, float> featurePrintDistances(const FeaturePrints &prints, const QString &id)
{
    QHash<QString, float> result;
    const auto own = prints.constFind(id);
    if (own == prints.cend() || own->isNull())
        return result;
    const FeaturePrint &print = *own;
    result.reserve(prints.size());
    for (auto it = prints.cbegin(); it != prints.cend(); ++it) {
        if (const std::optional<float> d = print.distance(it.value()))
            result.insert(it.key(), *d);
    }
    return result;
}
} // namespace vellora

namespace vellora {

namespace {
constexpr float kPackScale = 127.0f;

inline qint8 pack(float v) { return qint8(std::lround(std::clamp(v, -1.0f, 1.0f) * kPackScale)); }

int packedSquaredDistance(const qint8 *a, const qint8 *b, size_t n)
{
    int sum = 0;
    for (size_t i = 0; i < n; ++i) {
        const int d = int(a[i]) - int(b[i]);
        sum += d * d;
    }
    return sum;
}

// The row width of the packed block: the size of the current descriptor.
size_t packedDims()
{
    static const size_t dims = featurePrintOfImage([] {
        QImage probe(8, 8, QImage::Format_RGB32);
        probe.fill(Qt::gray);
        return probe;
    }()).values().size();
    return dims;
}
} // namespace

std::optional<float> DistanceTable::value(const QString &id) const
{
    const auto it = m_rows.constFind(id);
    if (it == m_rows.cend() || size_t(*it) >= m_distances.size() || std::isnan(m_distances[size_t(*it)]))
        return std::nullopt;
    return m_distances[size_t(*it)];
}

QHash<QString, float> DistanceTable::toHash() const
{
    QHash<QString, float> out;
    out.reserve(m_count);
    for (auto it = m_rows.cbegin(); it != m_rows.cend(); ++it)
        if (size_t(*it) < m_distances.size() && !std::isnan(m_distances[size_t(*it)]))
            out.insert(it.key(), m_distances[size_t(*it)]);
    return out;
}

FeaturePrintSet::FeaturePrintSet(const FeaturePrints &prints)
{
    m_ids.reserve(size_t(prints.size()));
    m_prints.reserve(size_t(prints.size()));
    m_rows.reserve(prints.size());
    for (auto it = prints.cbegin(); it != prints.cend(); ++it)
        insert(it.key(), it.value());
}

bool FeaturePrintSet::packable(const FeaturePrint &print) const
{
    return !print.isNull() && print.version() == FeaturePrint::kVisualVersion
        && print.values().size() == packedDims() && print.kind() == QLatin1String(FeaturePrint::kVisualKind);
}

void FeaturePrintSet::packRow(qsizetype row)
{
    const size_t dims = packedDims();
    qint8 *out = m_packed.data() + size_t(row) * dims;
    const FeaturePrint &print = m_prints[size_t(row)];
    m_isPacked[size_t(row)] = packable(print);
    if (m_isPacked[size_t(row)]) {
        const float *in = print.values().data();
        for (size_t i = 0; i < dims; ++i)
            out[i] = pack(in[i]);
    } else {
        std::fill(out, out + dims, qint8(0));
    }
}

FeaturePrint FeaturePrintSet::value(const QString &id) const
{
    const auto it = m_rows.constFind(id);
    return it == m_rows.cend() ? FeaturePrint() : m_prints[size_t(*it)];
}

FeaturePrints FeaturePrintSet::all() const
{
    FeaturePrints out;
    out.reserve(qsizetype(m_ids.size()));
    for (size_t i = 0; i < m_ids.size(); ++i)
        out.insert(m_ids[i], m_prints[i]);
    return out;
}

QStringList FeaturePrintSet::ids() const { return QStringList(m_ids.begin(), m_ids.end()); }

void FeaturePrintSet::insert(const QString &id, const FeaturePrint &print)
{
    if (print.isNull()) {
        remove(id);
        return;
    }
    const auto it = m_rows.constFind(id);
    qsizetype row;
    if (it != m_rows.cend()) {
        row = *it;
        m_prints[size_t(row)] = print;
    } else {
        row = qsizetype(m_ids.size());
        m_ids.push_back(id);
        m_prints.push_back(print);
        m_rows.insert(id, row);
        m_packed.resize(m_ids.size() * packedDims());
        m_isPacked.push_back(0);
    }
    packRow(row);
}

void FeaturePrintSet::remove(const QString &id)
{
    const auto it = m_rows.constFind(id);
    if (it == m_rows.cend())
        return;
    const size_t row = size_t(*it);
    const size_t last = m_ids.size() - 1;
    m_rows.remove(id);
    if (row != last) {
        // The last row takes the freed place.
        m_ids[row] = std::move(m_ids[last]);
        m_prints[row] = std::move(m_prints[last]);
        const size_t dims = packedDims();
        std::copy_n(m_packed.data() + last * dims, dims, m_packed.data() + row * dims);
        m_isPacked[row] = m_isPacked[last];
        m_rows[m_ids[row]] = qsizetype(row);
    }
    m_ids.pop_back();
    m_prints.pop_back();
    m_isPacked.pop_back();
    m_packed.resize(m_ids.size() * packedDims());
}

void FeaturePrintSet::clear()
{
    m_ids.clear();
    m_prints.clear();
    m_rows.clear();
    m_packed.clear();
    m_isPacked.clear();
}

DistanceTable FeaturePrintSet::distances(const QString &id) const
{
    DistanceTable table;
    const auto own = m_rows.constFind(id);
    if (own == m_rows.cend())
        return table;
    const FeaturePrint &print = m_prints[size_t(*own)];
    table.m_rows = m_rows;
    table.m_distances.assign(m_ids.size(), std::numeric_limits<float>::quiet_NaN());
    if (m_isPacked[size_t(*own)]) {
        const size_t dims = packedDims();
        const qint8 *query = m_packed.data() + size_t(*own) * dims;
        const qint8 *row = m_packed.data();
        for (size_t r = 0; r < m_ids.size(); ++r, row += dims) {
            if (!m_isPacked[r])
                continue;
            table.m_distances[r] = std::sqrt(float(packedSquaredDistance(query, row, dims))) / kPackScale;
            ++table.m_count;
        }
    } else {
        for (size_t r = 0; r < m_ids.size(); ++r) {
            if (const std::optional<float> d = print.distance(m_prints[r])) {
                table.m_distances[r] = *d;
                ++table.m_count;
            }
        }
    }
    return table;
}

} // namespace vellora
