#include "Palette.h"

#include "AnalysisImage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <vector>

namespace vellora {

namespace {

// Lloyd iterations after seeding; few are needed on a binned histogram.
constexpr int kPasses = 5;
// Clusters whose centres lie closer than this (in 8-bit RGB units) are one colour.
constexpr double kMergeDistance = 20.0;
// The smallest share of the picture, in 1/255, that a palette colour holds.
constexpr int kMinimumWeightByte = 3;

struct Point {
    double r, g, b;
    double weight;
};

double distance2(double r1, double g1, double b1, double r2, double g2, double b2)
{
    const double dr = r1 - r2, dg = g1 - g2, db = b1 - b2;
    return dr * dr + dg * dg + db * db;
}

// The picture's colours as a weighted point set: pixels binned at 5 bits per
// channel, each bin standing at the mean of its pixels.
std::vector<Point> binnedColours(const QImage &image)
{
    constexpr int kBins = 32 * 32 * 32;
    std::vector<std::array<quint32, 4>> bins(kBins, {0, 0, 0, 0});
    std::vector<int> used;
    used.reserve(4096);
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb px = line[x];
            const int r = qRed(px), g = qGreen(px), b = qBlue(px);
            const int index = ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
            auto &bin = bins[index];
            if (bin[3]++ == 0)
                used.push_back(index);
            bin[0] += quint32(r);
            bin[1] += quint32(g);
            bin[2] += quint32(b);
        }
    }
    std::sort(used.begin(), used.end());
    std::vector<Point> points;
    points.reserve(used.size());
    for (int index : used) {
        const auto &bin = bins[index];
        const double n = bin[3];
        points.push_back({bin[0] / n, bin[1] / n, bin[2] / n, n});
    }
    return points;
}

struct Cluster {
    double r = 0, g = 0, b = 0;
    double weight = 0;
};

} // namespace

QStringList paletteFromImage(const QImage &source, int count)
{
    if (count <= 0 || source.isNull())
        return {};
    // What a person sees of a picture with transparency is what its tile
    // shows: nearly clear pixels are the window's grey, whatever colour
    // their channels hold.
    const QImage image = asShownOnTile(source);
    const std::vector<Point> points = binnedColours(image);
    if (points.empty())
        return {};
    double total = 0;
    for (const Point &p : points)
        total += p.weight;

    // Seeding, deterministic: the heaviest bin, then each time the bin that
    // is heaviest in weight times squared distance to the seeds so far, which
    // favours colours that are both common and different. Ties go to the
    // lower bin.
    std::vector<Cluster> centres;
    {
        size_t first = 0;
        for (size_t i = 1; i < points.size(); ++i)
            if (points[i].weight > points[first].weight)
                first = i;
        centres.push_back({points[first].r, points[first].g, points[first].b, 0});
        std::vector<double> nearest(points.size());
        for (size_t i = 0; i < points.size(); ++i)
            nearest[i] = distance2(points[i].r, points[i].g, points[i].b, centres[0].r, centres[0].g, centres[0].b);
        while (int(centres.size()) < count) {
            size_t best = 0;
            double bestScore = 0;
            for (size_t i = 0; i < points.size(); ++i) {
                const double score = points[i].weight * nearest[i];
                if (score > bestScore) {
                    bestScore = score;
                    best = i;
                }
            }
            if (bestScore <= 0)
                break; // every colour already is a seed: the other clusters stay empty
            const Point &p = points[best];
            centres.push_back({p.r, p.g, p.b, 0});
            for (size_t i = 0; i < points.size(); ++i)
                nearest[i] = std::min(nearest[i], distance2(points[i].r, points[i].g, points[i].b, p.r, p.g, p.b));
        }
    }

    std::vector<int> owner(points.size(), 0);
    for (int pass = 0; pass < kPasses; ++pass) {
        std::vector<Cluster> sums(centres.size());
        for (size_t i = 0; i < points.size(); ++i) {
            const Point &p = points[i];
            int best = 0;
            double bestDistance = distance2(p.r, p.g, p.b, centres[0].r, centres[0].g, centres[0].b);
            for (size_t c = 1; c < centres.size(); ++c) {
                const double d = distance2(p.r, p.g, p.b, centres[c].r, centres[c].g, centres[c].b);
                if (d < bestDistance) {
                    bestDistance = d;
                    best = int(c);
                }
            }
            owner[i] = best;
            Cluster &s = sums[best];
            s.r += p.r * p.weight;
            s.g += p.g * p.weight;
            s.b += p.b * p.weight;
            s.weight += p.weight;
        }
        for (size_t c = 0; c < centres.size(); ++c) {
            if (sums[c].weight > 0) {
                centres[c] = {sums[c].r / sums[c].weight, sums[c].g / sums[c].weight, sums[c].b / sums[c].weight,
                              sums[c].weight};
            } else {
                centres[c].weight = 0; // empty: keeps its place, holds nothing
            }
        }
    }

    // Fold clusters that came out as the same colour into the heavier one.
    std::vector<int> order(centres.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return centres[a].weight > centres[b].weight; });
    std::vector<Cluster> merged;
    for (int index : order) {
        const Cluster &c = centres[index];
        if (c.weight <= 0)
            continue;
        bool folded = false;
        for (Cluster &m : merged) {
            if (distance2(c.r, c.g, c.b, m.r, m.g, m.b) < kMergeDistance * kMergeDistance) {
                const double w = m.weight + c.weight;
                m = {(m.r * m.weight + c.r * c.weight) / w, (m.g * m.weight + c.g * c.weight) / w,
                     (m.b * m.weight + c.b * c.weight) / w, w};
                folded = true;
                break;
            }
        }
        if (!folded)
            merged.push_back(c);
    }

    // A cluster's weight as a byte of the whole, as a rendered weight map would
    // hold it; equal bytes keep their order.
    struct Entry {
        int weightByte;
        Cluster cluster;
    };
    std::vector<Entry> entries;
    for (const Cluster &m : merged) {
        const int weightByte = int(std::lround(255.0 * m.weight / total));
        if (weightByte >= kMinimumWeightByte)
            entries.push_back({weightByte, m});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry &a, const Entry &b) { return a.weightByte > b.weightByte; });

    QStringList palette;
    for (const Entry &e : entries) {
        auto channel = [](double v) { return std::clamp(int(std::lround(v)), 0, 255); };
        palette << QString::asprintf("#%02x%02x%02x", channel(e.cluster.r), channel(e.cluster.g), channel(e.cluster.b));
    }
    return palette;
}

std::optional<QStringList> extractPalette(const QString &path, int count)
{
    const std::optional<QImage> image = decodeAnalysisImage(path, kPaletteSampleSide);
    if (!image)
        return std::nullopt;
    return paletteFromImage(*image, count);
}

} // namespace vellora
