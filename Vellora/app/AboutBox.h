#pragma once
// Help > About Vellora: the name and the version line, in a box sized to
// what it says (the window title included), on the window's dark look.

#include <QDialog>

class QLabel;

namespace vellora {

class AboutBox : public QDialog {
    Q_OBJECT
public:
    explicit AboutBox(QWidget *parent = nullptr);

    QLabel *nameLabel() const { return m_name; }
    QLabel *versionLabel() const { return m_version; }

private:
    QLabel *m_name;
    QLabel *m_version;
};

} // namespace vellora
