#pragma once
// A cheap look at a picture before the expensive ones: whether it may hold
// text worth handing to the text engine, and whether it has any detail at
// all for the face and cat detectors to find.
//
// Text recognition costs about a second on a screenshot and still tens of
// milliseconds on a picture without any text; the detectors cost as much
// again. This look costs about a millisecond on a thumbnail.
//
// It looks for strokes as the text engine sees them, on the grey picture:
// along a row, a text line gives many steep rises and falls close together
// (the two sides of every stroke), and the next rows give the same again.
// A flat colour, a gradient, soft shapes and the edges of large shapes give
// a few far apart. The same test runs on the picture halved, quartered and
// eighthed, so that large type counts as well as small.
//
// It errs on the side of text: fine texture (foliage, fabric, gravel) looks
// like strokes and goes to the text engine, which then finds nothing. Only
// a picture with no stroke cluster at any scale skips recognition.

#include <QImage>

namespace vellora {

struct TextDetection {
    // Some part of the picture looks like text: recognition should run.
    bool likelyText = false;
    // Hardly a steep step anywhere (a flat colour, a soft gradient): there
    // is no face, cat or text to find.
    bool featureless = false;
};

TextDetection detectText(const QImage &image);

} // namespace vellora
