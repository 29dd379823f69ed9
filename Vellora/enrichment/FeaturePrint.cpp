#include "FeaturePrint.h"

#include "AnalysisImage.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace vellora {

namespace {
const QString &emptyString()
{
    static const QString empty;
    return empty;
}
const std::vector<float> &emptyValues()
{
    static const std::vector<float> empty;
    return empty;
}

constexpr char kMagic[4] = {'V', 'F', 'P', '1'};

// The descriptor's grid: a 32 x 32 picture, cells of 8 x 8.
constexpr int kSide = 32;
constexpr int kCells = 4;
constexpr int kCellSide = kSide / kCells;
constexpr int kHueBins = 12;
constexpr int kGreyBins = 4;
constexpr int kOrientationBins = 6;

// Relative weight of each block in the distance.
constexpr float kColourLayoutWeight = 1.0f;
constexpr float kHistogramWeight = 1.0f;
constexpr float kEdgeWeight = 0.8f;
constexpr float kLuminanceWeight = 0.8f;
constexpr float kAspectWeight = 0.25f;

void normalise(float *begin, float *end, float weight)
{
    double norm = 0;
    for (float *p = begin; p != end; ++p)
        norm += double(*p) * *p;
    norm = std::sqrt(norm);
    if (norm < 1e-6) {
        std::fill(begin, end, 0.0f);
        return;
    }
    for (float *p = begin; p != end; ++p)
        *p = float(*p / norm * weight);
}
} // namespace

FeaturePrint::FeaturePrint(QString kind, int version, std::vector<float> values)
    : m_data(std::make_shared<const Data>(Data{std::move(kind), version, std::move(values)}))
{
}

const QString &FeaturePrint::kind() const { return m_data ? m_data->kind : emptyString(); }
int FeaturePrint::version() const { return m_data ? m_data->version : 0; }
const std::vector<float> &FeaturePrint::values() const { return m_data ? m_data->values : emptyValues(); }

float squaredDistance(const float *a, const float *b, size_t n)
{
    // Four lanes so the compiler can keep the sum in vector registers.
    float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const float d0 = a[i] - b[i], d1 = a[i + 1] - b[i + 1], d2 = a[i + 2] - b[i + 2], d3 = a[i + 3] - b[i + 3];
        s0 += d0 * d0;
        s1 += d1 * d1;
        s2 += d2 * d2;
        s3 += d3 * d3;
    }
    for (; i < n; ++i) {
        const float d = a[i] - b[i];
        s0 += d * d;
    }
    return (s0 + s1) + (s2 + s3);
}

std::optional<float> FeaturePrint::distance(const FeaturePrint &other) const
{
    if (!m_data || !other.m_data)
        return std::nullopt;
    if (m_data == other.m_data)
        return 0.0f;
    if (m_data->version != other.m_data->version || m_data->values.size() != other.m_data->values.size()
        || m_data->kind != other.m_data->kind)
        return std::nullopt;
    return std::sqrt(squaredDistance(m_data->values.data(), other.m_data->values.data(), m_data->values.size()));
}

QByteArray FeaturePrint::encode() const
{
    if (!m_data)
        return {};
    const QByteArray kind = m_data->kind.toUtf8();
    QByteArray out;
    out.reserve(4 + 2 + kind.size() + 4 + 4 + qsizetype(m_data->values.size()) * 4);
    out.append(kMagic, 4);
    char u16[2];
    qToLittleEndian<quint16>(quint16(kind.size()), u16);
    out.append(u16, 2);
    out.append(kind);
    char u32[4];
    qToLittleEndian<qint32>(qint32(m_data->version), u32);
    out.append(u32, 4);
    qToLittleEndian<quint32>(quint32(m_data->values.size()), u32);
    out.append(u32, 4);
    for (float v : m_data->values) {
        quint32 bits;
        std::memcpy(&bits, &v, 4);
        qToLittleEndian<quint32>(bits, u32);
        out.append(u32, 4);
    }
    return out;
}

FeaturePrint FeaturePrint::decode(const QByteArray &data)
{
    const char *p = data.constData();
    qsizetype left = data.size();
    if (left < 6 || std::memcmp(p, kMagic, 4) != 0)
        return {};
    p += 4;
    left -= 4;
    const quint16 kindLength = qFromLittleEndian<quint16>(p);
    p += 2;
    left -= 2;
    if (kindLength == 0 || left < qsizetype(kindLength) + 8)
        return {};
    QString kind = QString::fromUtf8(p, kindLength);
    p += kindLength;
    left -= kindLength;
    const qint32 version = qFromLittleEndian<qint32>(p);
    const quint32 count = qFromLittleEndian<quint32>(p + 4);
    p += 8;
    left -= 8;
    if (count == 0 || qsizetype(count) * 4 != left)
        return {};
    std::vector<float> values(count);
    for (quint32 i = 0; i < count; ++i) {
        const quint32 bits = qFromLittleEndian<quint32>(p + i * 4);
        float v;
        std::memcpy(&v, &bits, 4);
        if (!std::isfinite(v))
            return {};
        values[i] = v;
    }
    return FeaturePrint(std::move(kind), version, std::move(values));
}

FeaturePrint featurePrintOfImage(const QImage &source)
{
    if (source.isNull() || source.width() <= 0 || source.height() <= 0)
        return {};
    const QImage small = source.convertToFormat(QImage::Format_RGB32)
                             .scaled(kSide, kSide, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);

    std::array<float, kSide * kSide> luma{};
    std::vector<float> values;
    values.reserve(kCells * kCells * 3 + kHueBins * 2 + kGreyBins + kCells * kCells * kOrientationBins + 64 + 1);

    // Block 1: mean colour per cell in an opponent space, so that hue shifts
    // and brightness changes both move the print.
    std::array<float, kCells * kCells * 3> layout{};
    std::array<float, kHueBins * 2 + kGreyBins> histogram{};
    for (int y = 0; y < kSide; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(small.constScanLine(y));
        for (int x = 0; x < kSide; ++x) {
            const float r = qRed(line[x]) / 255.0f, g = qGreen(line[x]) / 255.0f, b = qBlue(line[x]) / 255.0f;
            luma[y * kSide + x] = 0.299f * r + 0.587f * g + 0.114f * b;
            const int cell = (y / kCellSide) * kCells + x / kCellSide;
            layout[cell * 3 + 0] += (r - g) * 0.70710678f;
            layout[cell * 3 + 1] += (r + g - 2 * b) * 0.40824829f;
            layout[cell * 3 + 2] += (r + g + b) * 0.57735027f;

            const float maxC = std::max({r, g, b}), minC = std::min({r, g, b});
            const float saturation = maxC > 0 ? (maxC - minC) / maxC : 0;
            if (saturation < 0.2f || maxC < 0.15f) {
                histogram[kHueBins * 2 + std::min(kGreyBins - 1, int(maxC * kGreyBins))] += 1;
            } else {
                float hue;
                const float delta = maxC - minC;
                if (maxC == r)
                    hue = std::fmod((g - b) / delta + 6.0f, 6.0f);
                else if (maxC == g)
                    hue = (b - r) / delta + 2.0f;
                else
                    hue = (r - g) / delta + 4.0f;
                const int hueBin = std::min(kHueBins - 1, int(hue / 6.0f * kHueBins));
                histogram[hueBin * 2 + (maxC >= 0.6f ? 1 : 0)] += 1;
            }
        }
    }
    const float cellArea = float(kCellSide * kCellSide);
    for (float &v : layout)
        values.push_back(v / cellArea / float(kCells) * kColourLayoutWeight);

    // Block 2: the share of each hue (and of greys by brightness); square
    // roots make plain Euclidean distance behave like the Hellinger distance.
    for (float v : histogram)
        values.push_back(std::sqrt(v / float(kSide * kSide)) * kHistogramWeight);

    // Block 3: edge orientations per cell, weighted by gradient strength.
    const size_t edgeStart = values.size();
    values.resize(values.size() + kCells * kCells * kOrientationBins, 0.0f);
    double energy = 0;
    for (int y = 1; y < kSide - 1; ++y) {
        for (int x = 1; x < kSide - 1; ++x) {
            auto L = [&](int dx, int dy) { return luma[(y + dy) * kSide + x + dx]; };
            const float gx = (L(1, -1) + 2 * L(1, 0) + L(1, 1)) - (L(-1, -1) + 2 * L(-1, 0) + L(-1, 1));
            const float gy = (L(-1, 1) + 2 * L(0, 1) + L(1, 1)) - (L(-1, -1) + 2 * L(0, -1) + L(1, -1));
            const float magnitude = std::sqrt(gx * gx + gy * gy);
            if (magnitude < 1e-4f)
                continue;
            energy += magnitude;
            float angle = std::atan2(gy, gx);
            if (angle < 0)
                angle += float(M_PI);
            const int bin = std::min(kOrientationBins - 1, int(angle / float(M_PI) * kOrientationBins));
            const int cell = (y / kCellSide) * kCells + x / kCellSide;
            values[edgeStart + cell * kOrientationBins + bin] += magnitude;
        }
    }
    normalise(values.data() + edgeStart, values.data() + values.size(), kEdgeWeight);
    // A flat picture and a busy one differ by how much edge there is at all.
    values.push_back(float(std::min(1.0, energy / ((kSide - 2) * (kSide - 2)) / 2.0)) * kEdgeWeight);

    // Block 4: the light and dark layout on an 8 x 8 grid, contrast normalised.
    const size_t lumaStart = values.size();
    constexpr int kGrid = 8, kStep = kSide / kGrid;
    float mean = 0;
    for (int gy = 0; gy < kGrid; ++gy) {
        for (int gx = 0; gx < kGrid; ++gx) {
            float sum = 0;
            for (int y = 0; y < kStep; ++y)
                for (int x = 0; x < kStep; ++x)
                    sum += luma[(gy * kStep + y) * kSide + gx * kStep + x];
            values.push_back(sum / (kStep * kStep));
            mean += values.back();
        }
    }
    mean /= kGrid * kGrid;
    for (size_t i = lumaStart; i < values.size(); ++i)
        values[i] -= mean;
    normalise(values.data() + lumaStart, values.data() + values.size(), kLuminanceWeight);

    // Block 5: the shape of the picture.
    const double aspect = std::log2(double(source.width()) / source.height());
    values.push_back(float(std::clamp(aspect, -2.0, 2.0)) * kAspectWeight);

    return FeaturePrint(QString::fromLatin1(FeaturePrint::kVisualKind), FeaturePrint::kVisualVersion,
                        std::move(values));
}

std::optional<FeaturePrint> featurePrintOfFile(const QString &path)
{
    const std::optional<QImage> image = decodeAnalysisImage(path, kFeaturePrintSampleSide);
    if (!image)
        return std::nullopt;
    FeaturePrint print = featurePrintOfImage(*image);
    if (print.isNull())
        return std::nullopt;
    return print;
}

} // namespace vellora
