#pragma once
// Text recognition: the text lines of a picture, in the languages the user
// picked of those whose data is installed, through Tesseract 5.
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
// Backed by libtesseract.so.5 and its language data (tesseract-ocr-eng and
// the other tesseract-ocr-LANG packages).
//
// Setting (Defaults::standard()): "textRecognitionLanguages", Tesseract's
// language codes joined with "+" (or ","), e.g. "eng+deu". Codes whose data
// is not installed are left out. Unset, or nothing of it installed: English
// plus the language of the user's locale when its data is installed.

#include <QImage>
#include <QList>
#include <QRect>
#include <QLocale>
#include <QString>
#include <QStringList>

namespace vellora {

inline constexpr const char *kTextRecognitionLanguagesKey = "textRecognitionLanguages";

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

    // The folder of the language data, and the codes found in it, sorted.
    static QString dataPath();
    static QStringList installedLanguages();

    // The languages to recognise, as Tesseract takes them ("eng+deu"): of
    // `picked` those installed, else English plus the locale's language
    // when installed. Pure but for the look at the data folder.
    static QString languagesFor(const QString &picked, const QLocale &locale = QLocale::system());
    // languagesFor() of the user's setting. Main thread (reads the settings).
    static QString languagesFromSettings();

    // The recognised lines in reading order, in valid UTF-8 terms
    // (ill-formed bytes become U+FFFD): the words of each line that the
    // engine is sure of (confidence at least `minimumConfidence`, 0-100),
    // joined with single spaces. Lines left with no letter or digit, or
    // mostly replacement characters, are left out. Empty when nothing is
    // found or the engine is missing. `languages` as languagesFor() gives
    // them; empty means English.
    // The engine reads the picture as it reads best: scaled up (twice, or to
    // 2048 pixels on the longer side) and dark on light.
    static QStringList recognizeLines(const QImage &image, float minimumConfidence = 30.0f,
                                      const QString &languages = QString());

    // The words in reading order with their boxes in the pixels of `image`,
    // under the same rules as the lines (a word below the confidence or
    // without a letter or digit is left out). Empty when nothing is found or the engine is missing.
    static QList<RecognizedWord> recognizeWords(const QImage &image, float minimumConfidence = 55.0f,
                                                const QString &languages = QString());
};

// Whether a recognised line is text worth keeping: some letter or digit, and
// not mostly replacement characters (what ill-formed output becomes).
bool isPlausibleTextLine(const QString &line);

} // namespace vellora
