#pragma once
// Text recognition: English text lines in a picture, through Tesseract 5.
//
// One engine per thread (made on the thread's first use and kept while the
// thread lives), since an engine is not safe to share. Tesseract's own
// OpenMP threads are capped at one (OMP_THREAD_LIMIT=1 unless the
// environment already says otherwise): the analysis runs one engine per
// worker and must not multiply its threads. The OpenMP runtime reads that
// setting only when it is loaded; when it was loaded before (Qt Core pulls
// it in), each engine's thread is kept serial through the runtime's own
// calls instead.
//
// Backed by libtesseract.so.5 and the "eng" language data (tesseract-ocr-eng).

#include <QImage>
#include <QList>
#include <QRect>
#include <QStringList>

namespace vellora {

// One recognised word and where it stands in the picture (pixels of the
// image that was read); `line` counts the text lines from 0 in reading order.
struct RecognizedWord {
    QString text;
    QRect box;
    int line = 0;
};

class TextRecognizer {
public:
    // True when the engine library and the English data can be loaded.
    static bool isAvailable();

    // The recognised lines in reading order, each trimmed, in valid UTF-8
    // terms (ill-formed bytes become U+FFFD). Lines the engine is unsure of
    // (confidence below `minimumConfidence`, 0-100) or that hold no letter or
    // digit are left out. Empty when nothing is found or the engine is missing.
    static QStringList recognizeLines(const QImage &image, float minimumConfidence = 55.0f);

    // The words in reading order with their boxes, under the same rules as
    // the lines (a word below the confidence or without a letter or digit is
    // left out). Empty when nothing is found or the engine is missing.
    static QList<RecognizedWord> recognizeWords(const QImage &image, float minimumConfidence = 55.0f);
};

} // namespace vellora
