#include "TextRecognizer.h"

#include "Defaults.h"
#include "Logging.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <tesseract/capi.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>

namespace vellora {

namespace {

struct Api {
    decltype(&TessBaseAPICreate) create = nullptr;
    decltype(&TessBaseAPIDelete) destroy = nullptr;
    decltype(&TessBaseAPIInit3) init = nullptr;
    decltype(&TessBaseAPISetPageSegMode) setPageSegMode = nullptr;
    decltype(&TessBaseAPISetVariable) setVariable = nullptr;
    decltype(&TessBaseAPISetImage) setImage = nullptr;
    decltype(&TessBaseAPISetSourceResolution) setSourceResolution = nullptr;
    decltype(&TessBaseAPIRecognize) recognize = nullptr;
    decltype(&TessBaseAPIGetIterator) iterator = nullptr;
    decltype(&TessBaseAPIClear) clear = nullptr;
    decltype(&TessResultIteratorGetPageIterator) pageIterator = nullptr;
    decltype(&TessResultIteratorGetUTF8Text) text = nullptr;
    decltype(&TessResultIteratorConfidence) confidence = nullptr;
    decltype(&TessPageIteratorNext) next = nullptr;
    decltype(&TessResultIteratorDelete) deleteIterator = nullptr;
    decltype(&TessDeleteText) deleteText = nullptr;
    decltype(&TessPageIteratorBoundingBox) boundingBox = nullptr;
    decltype(&TessPageIteratorIsAtBeginningOf) isAtBeginningOf = nullptr;
    bool loaded = false;
};

const Api &api()
{
    static Api instance;
    static std::once_flag once;
    std::call_once(once, [] {
        if (qEnvironmentVariableIsEmpty("OMP_THREAD_LIMIT"))
            qputenv("OMP_THREAD_LIMIT", "1");
        void *handle = dlopen("libtesseract.so.5", RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            handle = dlopen("libtesseract.so", RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            qCWarning(lcAnalysis, "text: engine library not found");
            return;
        }
        bool ok = true;
        auto bind = [&](auto &slot, const char *name) {
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(handle, name));
            ok = ok && slot != nullptr;
        };
        bind(instance.create, "TessBaseAPICreate");
        bind(instance.destroy, "TessBaseAPIDelete");
        bind(instance.init, "TessBaseAPIInit3");
        bind(instance.setPageSegMode, "TessBaseAPISetPageSegMode");
        bind(instance.setVariable, "TessBaseAPISetVariable");
        bind(instance.setImage, "TessBaseAPISetImage");
        bind(instance.setSourceResolution, "TessBaseAPISetSourceResolution");
        bind(instance.recognize, "TessBaseAPIRecognize");
        bind(instance.iterator, "TessBaseAPIGetIterator");
        bind(instance.clear, "TessBaseAPIClear");
        bind(instance.pageIterator, "TessResultIteratorGetPageIterator");
        bind(instance.text, "TessResultIteratorGetUTF8Text");
        bind(instance.confidence, "TessResultIteratorConfidence");
        bind(instance.next, "TessPageIteratorNext");
        bind(instance.deleteIterator, "TessResultIteratorDelete");
        bind(instance.deleteText, "TessDeleteText");
        bind(instance.boundingBox, "TessPageIteratorBoundingBox");
        bind(instance.isAtBeginningOf, "TessPageIteratorIsAtBeginningOf");
        instance.loaded = ok;
        if (!ok)
            qCWarning(lcAnalysis, "text: engine library lacks its interface");
    });
    return instance;
}

// When the OpenMP runtime was loaded before us (Qt Core brings it in through
// libb2), it has read its environment already and OMP_THREAD_LIMIT set now
// comes too late. Limiting the calling thread's active parallel levels to
// none has the same effect for every region this thread starts.
void keepThisThreadSerial()
{
    using SetLevels = void (*)(int);
    using SetThreads = void (*)(int);
    if (auto setLevels = reinterpret_cast<SetLevels>(dlsym(RTLD_DEFAULT, "omp_set_max_active_levels")))
        setLevels(0);
    if (auto setThreads = reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "omp_set_num_threads")))
        setThreads(1);
}

class Engine {
public:
    Engine() = default;
    ~Engine() { reset(); }
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // The engine for `languages`, made anew when they changed since the last call.
    TessBaseAPI *handleFor(const QString &languages)
    {
        if (m_handle && languages == m_languages)
            return m_handle;
        if (!m_handle && m_failed && languages == m_languages)
            return nullptr;
        reset();
        m_languages = languages;
        const Api &a = api();
        if (!a.loaded) {
            m_failed = true;
            return nullptr;
        }
        if (qgetenv("OMP_THREAD_LIMIT") == "1")
            keepThisThreadSerial();
        m_handle = a.create();
        // Keep the engine's chatter (resolution guesses and the like) off our streams.
        a.setVariable(m_handle, "debug_file", "/dev/null");
        const QByteArray dataPath = QFile::encodeName(TextRecognizer::dataPath());
        if (a.init(m_handle, dataPath.isEmpty() ? nullptr : dataPath.constData(), languages.toLatin1().constData())
            != 0) {
            qCWarning(lcAnalysis, "text: language data for %s not found", qPrintable(languages));
            a.destroy(m_handle);
            m_handle = nullptr;
            m_failed = true;
            return nullptr;
        }
        // The page as the engine's own command segments it when asked nothing.
        a.setPageSegMode(m_handle, tesseract::PSM_AUTO);
        // Pages are turned dark on light before they are read (prepared()),
        // so the engine need not read every doubtful line again inverted;
        // table finding costs a tenth of the time and screenshots read as
        // well without it.
        a.setVariable(m_handle, "tessedit_do_invert", "0");
        a.setVariable(m_handle, "textord_tabfind_find_tables", "0");
        return m_handle;
    }

private:
    void reset()
    {
        if (m_handle)
            api().destroy(m_handle);
        m_handle = nullptr;
        m_failed = false;
    }

    TessBaseAPI *m_handle = nullptr;
    QString m_languages;
    bool m_failed = false;
};

Engine &threadEngine()
{
    thread_local Engine engine;
    return engine;
}

bool holdsLetterOrDigit(const QString &text)
{
    for (QChar c : text)
        if (c.isLetterOrNumber())
            return true;
    return false;
}

} // namespace

bool TextRecognizer::isAvailable() { return threadEngine().handleFor(QStringLiteral("eng")) != nullptr; }

QString TextRecognizer::dataPath()
{
    // TESSDATA_PREFIX names the folder itself in Tesseract 5.
    const QString fromEnvironment = qEnvironmentVariable("TESSDATA_PREFIX");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    for (const char *folder : {"/usr/share/tesseract-ocr/5/tessdata", "/usr/share/tesseract-ocr/4.00/tessdata",
                               "/usr/share/tessdata"})
        if (QFileInfo(QString::fromLatin1(folder)).isDir())
            return QString::fromLatin1(folder);
    return {};
}

QStringList TextRecognizer::installedLanguages()
{
    const QString path = dataPath();
    if (path.isEmpty())
        return {};
    QStringList codes;
    for (const QFileInfo &file : QDir(path).entryInfoList({QStringLiteral("*.traineddata")}, QDir::Files, QDir::Name))
        codes << file.completeBaseName();
    return codes;
}

QString TextRecognizer::languagesFor(const QString &picked, const QLocale &locale)
{
    const QStringList installed = installedLanguages();
    QStringList chosen;
    for (const QString &code : picked.split(QRegularExpression(QStringLiteral("[+,\\s]+")), Qt::SkipEmptyParts))
        if (installed.contains(code) && !chosen.contains(code))
            chosen << code;
    if (chosen.isEmpty()) {
        chosen << QStringLiteral("eng");
        const QString own = QLocale::languageToCode(locale.language(), QLocale::ISO639Part3);
        if (!own.isEmpty() && own != QLatin1String("eng") && installed.contains(own))
            chosen << own;
    }
    return chosen.join(u'+');
}

QString TextRecognizer::languagesFromSettings()
{
    return languagesFor(Defaults::standard().string(QString::fromLatin1(kTextRecognitionLanguagesKey)));
}

bool isPlausibleTextLine(const QString &line)
{
    int letters = 0;
    int replacements = 0;
    for (QChar c : line) {
        if (c == QChar::ReplacementCharacter)
            ++replacements;
        else if (c.isLetterOrNumber())
            ++letters;
    }
    return letters > 0 && replacements * 4 < letters + replacements;
}

namespace {

// The engine reads type best at 20 pixels and more, dark on light: the page
// it is given is scaled up (at most twice, to at most this longer side),
// and turned over when it is mostly dark.
constexpr int kReadSide = 2048;
constexpr double kMostScaleUp = 2.0;

struct PreparedPage {
    QImage grey;
    double scale = 1.0; // of the prepared page to the source
};

PreparedPage prepared(const QImage &source)
{
    PreparedPage page;
    const int longer = std::max(source.width(), source.height());
    page.scale = longer >= kReadSide ? 1.0 : std::min(kMostScaleUp, double(kReadSide) / double(longer));
    const QImage scaled = page.scale > 1.0
        ? source.scaled(int(std::lround(source.width() * page.scale)), int(std::lround(source.height() * page.scale)),
                        Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        : source;
    page.grey = scaled.convertToFormat(QImage::Format_Grayscale8);
    qint64 sum = 0;
    for (int y = 0; y < page.grey.height(); ++y) {
        const uchar *row = page.grey.constScanLine(y);
        for (int x = 0; x < page.grey.width(); ++x)
            sum += row[x];
    }
    if (sum < qint64(page.grey.width()) * page.grey.height() * 128)
        page.grey.invertPixels();
    return page;
}

// Recognises `source` in `languages` and hands `visit` the result's iterators
// at each piece of `level` in reading order, with the scale of the page the
// engine read; the engine is cleared after.
template <typename Visit>
void walkPage(const QImage &source, const QString &languages, tesseract::PageIteratorLevel level, Visit visit)
{
    if (source.isNull())
        return;
    TessBaseAPI *handle = threadEngine().handleFor(languages.isEmpty() ? QStringLiteral("eng") : languages);
    if (!handle)
        return;
    const Api &a = api();
    const PreparedPage page = prepared(source);
    const QImage &grey = page.grey;
    a.setImage(handle, grey.constBits(), grey.width(), grey.height(), 1, int(grey.bytesPerLine()));
    a.setSourceResolution(handle, 96);
    if (a.recognize(handle, nullptr) == 0) {
        if (TessResultIterator *it = a.iterator(handle)) {
            TessPageIterator *pieces = a.pageIterator(it);
            do
                visit(it, pieces, page.scale);
            while (a.next(pieces, level));
            a.deleteIterator(it);
        }
    }
    a.clear(handle);
}

// The text of the piece at `level` under `it`, trimmed, and how sure the
// engine is of it; nothing when the engine has no text there.
std::optional<QString> pieceText(TessResultIterator *it, tesseract::PageIteratorLevel level, float *confidence)
{
    const Api &a = api();
    char *utf8 = a.text(it, level);
    if (!utf8)
        return std::nullopt;
    *confidence = a.confidence(it, level);
    // fromUtf8 turns ill-formed input into U+FFFD, never into broken text.
    const QString text = QString::fromUtf8(utf8).trimmed();
    a.deleteText(utf8);
    return text;
}

} // namespace

QStringList TextRecognizer::recognizeLines(const QImage &source, float minimumConfidence, const QString &languages)
{
    // Kept word by word: one doubtful word (a symbol, a line number) must not
    // take a whole line of good ones with it.
    QStringList lines;
    int line = -1;
    for (const RecognizedWord &word : recognizeWords(source, minimumConfidence, languages)) {
        if (word.line != line) {
            lines << QString();
            line = word.line;
        } else {
            lines.last() += QLatin1Char(' ');
        }
        lines.last() += word.text;
    }
    lines.removeIf([](const QString &text) { return !isPlausibleTextLine(text); });
    return lines;
}

QList<RecognizedWord> TextRecognizer::recognizeWords(const QImage &source, float minimumConfidence,
                                                     const QString &languages)
{
    const Api &a = api();
    QList<RecognizedWord> words;
    int line = -1;
    walkPage(source, languages, tesseract::RIL_WORD, [&](TessResultIterator *it, TessPageIterator *page, double scale) {
        if (line < 0 || a.isAtBeginningOf(page, tesseract::RIL_TEXTLINE))
            ++line;
        float confidence = 0;
        const std::optional<QString> text = pieceText(it, tesseract::RIL_WORD, &confidence);
        if (!text)
            return;
        int left = 0, top = 0, right = 0, bottom = 0;
        if (!a.boundingBox(page, tesseract::RIL_WORD, &left, &top, &right, &bottom))
            return;
        if (confidence >= minimumConfidence && holdsLetterOrDigit(*text) && isPlausibleTextLine(*text)) {
            // Back in the pixels of the picture that was handed in.
            const QRect box(QPoint(int(std::floor(left / scale)), int(std::floor(top / scale))),
                            QPoint(int(std::ceil(right / scale)) - 1, int(std::ceil(bottom / scale)) - 1));
            words.append(RecognizedWord{*text, box, line});
        }
    });
    return words;
}

} // namespace vellora
