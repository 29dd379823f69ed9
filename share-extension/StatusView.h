#pragma once
// The one line of status after sharing, in a small window that closes itself.

#include <QWidget>

namespace vshare {

class StatusView : public QWidget {
public:
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 120;
    static constexpr int kShownMs = 800;

    StatusView(const QString &line, bool success, QWidget *parent = nullptr);
};

} // namespace vshare
