#pragma once
// Feature prints for find-similar: our own deterministic descriptor of a
// picture's colours, layout and edges, computed from its thumbnail.
//
// Every print carries its kind and version. Prints of different kinds or
// versions are never compared (the distance fails), so a change of the
// descriptor, or prints made by another engine, can share one store: the
// stale ones simply drop out of find-similar until they are computed anew.

#include <QByteArray>
#include <QImage>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

namespace vellora {

class FeaturePrint {
public:
    // The descriptor of this file; bump the version whenever its output changes.
    static constexpr const char *kVisualKind = "vellora.visual";
    static constexpr int kVisualVersion = 1;

    FeaturePrint() = default;
    FeaturePrint(QString kind, int version, std::vector<float> values);

    bool isNull() const { return !m_data; }
    const QString &kind() const;
    int version() const;
    const std::vector<float> &values() const;

    // Distance to another print: smaller is more similar, 0 for identical
    // prints. None when the two are of different kinds, versions or sizes.
    std::optional<float> distance(const FeaturePrint &other) const;

    // Self-describing binary form: "VFP1", kind, version, count, values
    // (little-endian float32). decode() of anything else gives a null print.
    QByteArray encode() const;
    static FeaturePrint decode(const QByteArray &data);

private:
    struct Data {
        QString kind;
        int version = 0;
        std::vector<float> values;
    };
    // Shared and immutable: prints are copied freely and compared often.
    std::shared_ptr<const Data> m_data;
};

// Longest side, in pixels, at which the descriptor looks at a thumbnail.
inline constexpr int kFeaturePrintSampleSide = 128;

// The print of a decoded picture; null for an empty image.
FeaturePrint featurePrintOfImage(const QImage &image);

// The print of the thumbnail at `path`; none when it is missing or does not decode.
std::optional<FeaturePrint> featurePrintOfFile(const QString &path);

// Squared Euclidean distance of two equally long float rows; the hot loop of find-similar.
float squaredDistance(const float *a, const float *b, size_t n);

} // namespace vellora
