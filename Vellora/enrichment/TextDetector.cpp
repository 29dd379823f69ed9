#include "TextDetector.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace vellora {

namespace {

// A step at least this steep (difference of the two neighbours, 0-255) is a
// stroke's side. Light grey text on white still gives twice as much; the
// ripples a JPEG encoder leaves beside an edge give less.
constexpr int kStrokeStep = 24;
// Steps further apart than this end a cluster: the gap between two words
// at the scale where their letters are small.
constexpr int kClusterGap = 12;
// Sides of strokes in one cluster of a row: "OK" gives eight, the edges of a
// shape or a bar give two.
constexpr int kClusterSteps = 5;
// Rows in a row that hold a cluster over the same columns: a text line is
// several rows high, a texture's chance alignment is not.
constexpr int kClusterRows = 3;
constexpr int kColumnBin = 8;
// Steps of at least this much, and fewer than this many of them in the whole
// picture: nothing in it for any detector.
constexpr int kDetailStep = 6;
constexpr int kDetailPixels = 16;
// The picture and two halvings of it: from the smallest legible type to
// letters half a thumbnail high.
constexpr int kScales = 3;

struct Grey {
    std::vector<unsigned char> pixels;
    int width = 0;
    int height = 0;
    const unsigned char *row(int y) const { return pixels.data() + size_t(y) * size_t(width); }
};

Grey greyOf(const QImage &image)
{
    Grey out;
    out.width = image.width();
    out.height = image.height();
    out.pixels.resize(size_t(out.width) * size_t(out.height));
    if (image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32) {
        // qGray's weights, straight from the picture: no converted copy.
        for (int y = 0; y < out.height; ++y) {
            const QRgb *in = reinterpret_cast<const QRgb *>(image.constScanLine(y));
            unsigned char *o = out.pixels.data() + size_t(y) * size_t(out.width);
            for (int x = 0; x < out.width; ++x)
                o[x] = (unsigned char)((qRed(in[x]) * 11 + qGreen(in[x]) * 16 + qBlue(in[x]) * 5) / 32);
        }
        return out;
    }
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    for (int y = 0; y < out.height; ++y)
        std::copy_n(grey.constScanLine(y), out.width, out.pixels.begin() + ptrdiff_t(y) * out.width);
    return out;
}

Grey halved(const Grey &g)
{
    Grey out;
    out.width = g.width / 2;
    out.height = g.height / 2;
    out.pixels.resize(size_t(out.width) * size_t(out.height));
    for (int y = 0; y < out.height; ++y) {
        const unsigned char *a = g.row(2 * y);
        const unsigned char *b = g.row(2 * y + 1);
        unsigned char *o = out.pixels.data() + size_t(y) * size_t(out.width);
        for (int x = 0; x < out.width; ++x)
            o[x] = (unsigned char)((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 2) / 4);
    }
    return out;
}

Grey transposed(const Grey &g)
{
    Grey out;
    out.width = g.height;
    out.height = g.width;
    out.pixels.resize(g.pixels.size());
    for (int y = 0; y < g.height; ++y) {
        const unsigned char *r = g.row(y);
        for (int x = 0; x < g.width; ++x)
            out.pixels[size_t(x) * size_t(out.width) + size_t(y)] = r[x];
    }
    return out;
}

// Whether some rows of `g` hold stroke clusters over the same columns.
bool hasStrokeClusters(const Grey &g, int gap)
{
    if (g.width < 8 || g.height < kClusterRows)
        return false;
    const int bins = (g.width + kColumnBin - 1) / kColumnBin;
    std::vector<int> streak(size_t(bins), 0);
    std::vector<char> marked(size_t(bins), 0);
    for (int y = 0; y < g.height; ++y) {
        std::fill(marked.begin(), marked.end(), 0);
        const unsigned char *row = g.row(y);
        int previousSign = 0, previousX = -2; // the step being followed
        int clusterStart = -1, clusterEnd = -1, clusterSteps = 0;
        auto closeCluster = [&] {
            if (clusterSteps >= kClusterSteps)
                for (int b = clusterStart / kColumnBin; b <= clusterEnd / kColumnBin; ++b)
                    marked[size_t(b)] = 1;
            clusterSteps = 0;
        };
        for (int x = 1; x + 1 < g.width; ++x) {
            const int d = int(row[x + 1]) - int(row[x - 1]);
            const int sign = d >= kStrokeStep ? 1 : (d <= -kStrokeStep ? -1 : 0);
            if (sign == 0)
                continue;
            const bool sameStep = sign == previousSign && x == previousX + 1;
            previousSign = sign;
            previousX = x;
            if (sameStep) {
                clusterEnd = x;
                continue;
            }
            if (clusterSteps > 0 && x - clusterEnd > gap)
                closeCluster();
            if (clusterSteps == 0)
                clusterStart = x;
            clusterEnd = x;
            ++clusterSteps;
        }
        closeCluster();
        for (int b = 0; b < bins; ++b) {
            streak[size_t(b)] = marked[size_t(b)] ? streak[size_t(b)] + 1 : 0;
            if (streak[size_t(b)] >= kClusterRows)
                return true;
        }
    }
    return false;
}

bool isFeatureless(const Grey &g)
{
    int steps = 0;
    for (int y = 1; y + 1 < g.height; ++y) {
        const unsigned char *up = g.row(y - 1), *row = g.row(y), *down = g.row(y + 1);
        int inRow = 0; // counted branch-free, a row at a time
        for (int x = 1; x + 1 < g.width; ++x) {
            const int across = std::abs(int(row[x + 1]) - int(row[x - 1]));
            const int along = std::abs(int(down[x]) - int(up[x]));
            inRow += int(std::max(across, along) >= kDetailStep);
        }
        steps += inRow;
        if (steps >= kDetailPixels)
            return false;
    }
    return true;
}

} // namespace

TextDetection detectText(const QImage &image)
{
    TextDetection result;
    if (image.isNull())
        return result;
    Grey grey = greyOf(image);
    if (isFeatureless(grey)) {
        result.featureless = true;
        return result;
    }
    for (int scale = 0; scale < kScales && grey.width >= 8 && grey.height >= 8; ++scale) {
        // Rows first, then columns for text set on its side.
        // Letters of display type stand further apart than their strokes
        // are wide, even a quarter the size.
        const int gap = scale == kScales - 1 ? 2 * kClusterGap : kClusterGap;
        if (hasStrokeClusters(grey, gap) || hasStrokeClusters(transposed(grey), gap)) {
            result.likelyText = true;
            return result;
        }
        grey = halved(grey);
    }
    return result;
}

} // namespace vellora
