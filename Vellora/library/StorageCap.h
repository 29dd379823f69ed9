#pragma once
// The storage cap of an iCloud library: how many megabytes of originals stay
// on this machine. The pass below measures the downloaded originals and evicts
// the least recently opened ones until the total is at or below the cap.
// It touches only the file system; the store collects its input on the main
// thread and runs it on a utility pool (LibraryStoreMedia.h).

#include <QList>
#include <QString>
#include <optional>

namespace vellora {

class Ubiquity;

// One megabyte of the cap is 2^20 bytes.
inline constexpr qint64 kCapBytesPerMegabyte = 1048576;

struct CapCandidate {
    QString path;                       // the item's original
    std::optional<double> lastOpenedAt; // reference seconds
};

struct CapPassResult {
    qint64 remainingBytes = 0; // downloaded originals still on the device
    int evicted = 0;
};

// Originals that are not downloaded (or not current), or whose values cannot
// be read, neither count nor get evicted. A file without a download status
// counts as local. Candidates go oldest first: by lastOpenedAt, else by the
// file's modification time (0 when it has none); equal keys keep list order.
// A failed eviction is passed over and its size still counts.
CapPassResult evictOriginalsAboveCap(const QList<CapCandidate> &candidates, qint64 capBytes, Ubiquity &ubiquity);

// "Vellora storage: 97 MB of originals on device, cap 100 MB, iCloud true, evicted 3"
QString storageLogLine(const CapPassResult &result, qint64 capBytes, bool iCloud);

} // namespace vellora
