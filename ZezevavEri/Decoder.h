#pragma once
// Decoding of tile images off the main thread. The engine asks for images
// through this seam so tests can run decodes by hand.

#include <QImage>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>
#include <unordered_map>

namespace zezevaveri {

// The application's image source: id, longest side in pixels, and whether the
// full-resolution image is wanted. Called off the main thread.
using ContentSource = std::function<QImage(const QString &id, double pixels, bool fullResolution)>;

struct DecodeRequest {
    QString key;
    QString id;
    double pixels = 0;
    bool fullResolution = false;
};

class ImageDecoder {
public:
    virtual ~ImageDecoder() = default;
    // Starts a decode; `done` runs later on the main thread unless cancelled.
    virtual quint64 start(const DecodeRequest &request, const ContentSource &content,
                          std::function<void(QImage)> done) = 0;
    virtual void cancel(quint64 ticket) = 0;
};

// Runs the image source on the thread pool "zezevaveri.decode" and hands the
// results back on the thread that owns the decoder.
class ThreadPoolDecoder final : public QObject, public ImageDecoder {
public:
    explicit ThreadPoolDecoder(QObject *parent = nullptr);
    ~ThreadPoolDecoder() override;

    quint64 start(const DecodeRequest &request, const ContentSource &content,
                  std::function<void(QImage)> done) override;
    void cancel(quint64 ticket) override;
    QThreadPool &pool() { return m_pool; }
    // Blocks until the running decodes ended (tests and shutdown).
    void waitForDone() { m_pool.waitForDone(); }

private:
    struct Job {
        std::atomic<bool> cancelled{false};
        std::function<void(QImage)> done;
    };
    QThreadPool m_pool;
    quint64 m_next = 1;
    std::unordered_map<quint64, std::shared_ptr<Job>> m_jobs;
};

} // namespace zezevaveri
