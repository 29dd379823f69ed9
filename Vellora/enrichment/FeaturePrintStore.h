#pragma once
// "featureprints.bin": the feature prints of a library by item id, kept
// outside library.json. A binary property list whose root is a dictionary:
// key = item id, value = data, the print's own encoding (FeaturePrint::encode).

#include "FeaturePrint.h"

#include <QHash>
#include <QString>

namespace vellora {

using FeaturePrints = QHash<QString, FeaturePrint>;

// The prints stored at `path`. A missing, unreadable or malformed file gives
// no prints; an entry that is not data or not a print is skipped and the
// others load.
FeaturePrints readFeaturePrints(const QString &path);

// Writes `prints` whole and atomically (temporary file, sync, rename, sync of
// the folder), creating the folder first. On failure the previous file stays
// as it was and the result is false. Null prints are left out.
bool writeFeaturePrints(const QString &path, const FeaturePrints &prints);

// The property-list form itself, for tests and the two functions above.
QByteArray encodeFeaturePrints(const FeaturePrints &prints);
FeaturePrints decodeFeaturePrints(const QByteArray &data);

} // namespace vellora

namespace vellora {
// Distance from the print of `id` to every print of `prints` (its own
// included), keyed by id; smaller is more similar. Empty when `id` has no
// print; prints that cannot be compared with it are left out.
QHash<QString, float> featurePrintDistances(const FeaturePrints &prints, const QString &id);

// The distances of one find-similar query: item id -> distance, smaller is
// more similar. A table rather than a hash map, since it is made for every
// query over the whole library: the ids' positions are shared with the set
// it came from, and only the distances are new.
class DistanceTable {
public:
    DistanceTable() = default;

    bool isEmpty() const { return m_count == 0; }
    qsizetype size() const { return m_count; }
    bool contains(const QString &id) const { return value(id).has_value(); }
    // The distance to `id`; none when `id` had no print or one that could not be compared.
    std::optional<float> value(const QString &id) const;
    // Every entry, in no particular order.
    QHash<QString, float> toHash() const;

private:
    friend class FeaturePrintSet;
    QHash<QString, qsizetype> m_rows;
    std::vector<float> m_distances; // NaN: no distance for that row
    qsizetype m_count = 0;
};

// The prints of a library by item id, kept ready for find-similar: the
// prints of the current descriptor are also held packed in one block of
// memory (8 bits per value), so a query over 100 000 prints is one pass over
// a few megabytes. Not thread-safe; the analyzer keeps it on the main thread.
class FeaturePrintSet {
public:
    FeaturePrintSet() = default;
    explicit FeaturePrintSet(const FeaturePrints &prints);

    qsizetype size() const { return m_rows.size(); }
    bool isEmpty() const { return m_rows.isEmpty(); }
    bool contains(const QString &id) const { return m_rows.contains(id); }
    FeaturePrint value(const QString &id) const;
    FeaturePrints all() const;
    QStringList ids() const;

    // Replaces the print of `id`; a null print removes it.
    void insert(const QString &id, const FeaturePrint &print);
    void remove(const QString &id);
    void clear();

    // The distance from the print of `id` to every print (its own included).
    // Empty when `id` has no print; prints that cannot be compared with it
    // (another kind or version) are left out.
    DistanceTable distances(const QString &id) const;

private:
    bool packable(const FeaturePrint &print) const;
    void packRow(qsizetype row);

    std::vector<QString> m_ids;
    std::vector<FeaturePrint> m_prints;
    QHash<QString, qsizetype> m_rows;
    std::vector<qint8> m_packed;     // one row per print; zeros for prints of other kinds
    std::vector<quint8> m_isPacked;  // per row: does the packed row hold the print
};
} // namespace vellora
