#include "TextRecognizer.h"

#include "Logging.h"

#include <tesseract/capi.h>

#include <dlfcn.h>

#include <memory>
#include <mutex>

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
    Engine()
    {
        const Api &a = api();
        if (!a.loaded)
            return;
        if (qgetenv("OMP_THREAD_LIMIT") == "1")
            keepThisThreadSerial();
        m_handle = a.create();
        // Keep the engine's chatter (resolution guesses and the like) off our streams.
        a.setVariable(m_handle, "debug_file", "/dev/null");
        if (a.init(m_handle, nullptr, "eng") != 0) {
            qCWarning(lcAnalysis, "text: english language data not found");
            a.destroy(m_handle);
            m_handle = nullptr;
            return;
        }
        a.setPageSegMode(m_handle, tesseract::PSM_AUTO);
    }
    ~Engine()
    {
        if (m_handle)
            api().destroy(m_handle);
    }
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    TessBaseAPI *handle() const { return m_handle; }

private:
    TessBaseAPI *m_handle = nullptr;
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

bool TextRecognizer::isAvailable() { return threadEngine().handle() != nullptr; }

QStringList TextRecognizer::recognizeLines(const QImage &source, float minimumConfidence)
{
    Engine &engine = threadEngine();
    if (!engine.handle() || source.isNull())
        return {};
    const Api &a = api();
    const QImage gray = source.convertToFormat(QImage::Format_Grayscale8);
    a.setImage(engine.handle(), gray.constBits(), gray.width(), gray.height(), 1, int(gray.bytesPerLine()));
    a.setSourceResolution(engine.handle(), 96);
    QStringList lines;
    if (a.recognize(engine.handle(), nullptr) == 0) {
        if (TessResultIterator *it = a.iterator(engine.handle())) {
            TessPageIterator *page = a.pageIterator(it);
            do {
                char *utf8 = a.text(it, tesseract::RIL_TEXTLINE);
                if (!utf8)
                    continue;
                const float confidence = a.confidence(it, tesseract::RIL_TEXTLINE);
                // fromUtf8 turns ill-formed input into U+FFFD, never into broken text.
                const QString line = QString::fromUtf8(utf8).trimmed();
                a.deleteText(utf8);
                if (confidence >= minimumConfidence && holdsLetterOrDigit(line))
                    lines << line;
            } while (a.next(page, tesseract::RIL_TEXTLINE));
            a.deleteIterator(it);
        }
    }
    a.clear(engine.handle());
    return lines;
}

QList<RecognizedWord> TextRecognizer::recognizeWords(const QImage &source, float minimumConfidence)
{
    Engine &engine = threadEngine();
    if (!engine.handle() || source.isNull())
        return {};
    const Api &a = api();
    const QImage gray = source.convertToFormat(QImage::Format_Grayscale8);
    a.setImage(engine.handle(), gray.constBits(), gray.width(), gray.height(), 1, int(gray.bytesPerLine()));
    a.setSourceResolution(engine.handle(), 96);
    QList<RecognizedWord> words;
    if (a.recognize(engine.handle(), nullptr) == 0) {
        if (TessResultIterator *it = a.iterator(engine.handle())) {
            TessPageIterator *page = a.pageIterator(it);
            int line = -1;
            do {
                if (line < 0 || a.isAtBeginningOf(page, tesseract::RIL_TEXTLINE))
                    ++line;
                char *utf8 = a.text(it, tesseract::RIL_WORD);
                if (!utf8)
                    continue;
                const float confidence = a.confidence(it, tesseract::RIL_WORD);
                const QString text = QString::fromUtf8(utf8).trimmed();
                a.deleteText(utf8);
                int left = 0, top = 0, right = 0, bottom = 0;
                if (!a.boundingBox(page, tesseract::RIL_WORD, &left, &top, &right, &bottom))
                    continue;
                if (confidence >= minimumConfidence && holdsLetterOrDigit(text))
                    words.append(RecognizedWord{text, QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)), line});
            } while (a.next(page, tesseract::RIL_WORD));
            a.deleteIterator(it);
        }
    }
    a.clear(engine.handle());
    return words;
}

} // namespace vellora
