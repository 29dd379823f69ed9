#pragma once
// A grid host without widgets, for driving GridEngine in tests and
// benchmarks: a fixed-size window onto the document that records what the
// engine asked of the view.

#include <ZezevavEri/GridEngine.h>

#include <optional>

namespace zezevaveri {

class SimpleGridHost : public GridHost {
public:
    SimpleGridHost(double width, double height) : m_width(width), m_height(height) {}
    double width() const override { return m_width; }
    QRectF visibleRect() const override { return QRectF(0, m_scrollY, m_width, m_height); }
    void setDocumentHeight(double height) override { m_documentHeight = height; }
    void scrollTo(double y) override { m_scrollY = y; }
    bool reduceMotion() const override { return m_reduceMotion; }
    double headerHeight() const override { return m_header; }
    void setHeaderFrame(const QRectF &frame) override { headerFrame = frame; }
    void setAccessibilityIdentifier(const QString &id) override { accessibilityIdentifier = id; }
    void showStageOverlay(const QRectF &frame, bool hidden) override { stageOverlay = frame; stageOverlayHidden = hidden; }
    void removeStageOverlay() override { stageOverlay.reset(); }
    void fadeHeader(double alpha) override { headerAlpha = alpha; }

    void setSize(double width, double height) { m_width = width; m_height = height; }
    void setReduceMotion(bool on) { m_reduceMotion = on; }
    void setHeader(double height) { m_header = height; }
    double scrollY() const { return m_scrollY; }
    double documentHeight() const { return m_documentHeight; }

    QRectF headerFrame;
    QString accessibilityIdentifier;
    std::optional<QRectF> stageOverlay;
    bool stageOverlayHidden = false;
    double headerAlpha = 1;

private:
    double m_width, m_height;
    double m_scrollY = 0;
    double m_documentHeight = 0;
    double m_header = -1;
    bool m_reduceMotion = false;
};

} // namespace zezevaveri
