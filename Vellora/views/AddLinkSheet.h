#pragma once
// The add-link sheet: one field for a web address, "Add" and "Cancel". Add
// is enabled only for text that is a link (normalizedLinkURL: "https://" is
// put in front of a bare host); it calls `add` with the normalised address
// and closes the sheet. The sheet adds nothing itself.

#include <QDialog>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace vellora {

class AddLinkSheet : public QDialog {
    Q_OBJECT
public:
    // With a parent the sheet is window-modal over it.
    explicit AddLinkSheet(QWidget *parent = nullptr);

    // Called with the link to add.
    std::function<void(const QString &url)> add;

    QLineEdit *field() const { return m_field; }
    QPushButton *addButton() const { return m_add; }
    QPushButton *cancelButton() const { return m_cancel; }
    QLabel *hintLabel() const { return m_hint; }

private:
    void refresh();
    void submit();

    QLineEdit *m_field;
    QLabel *m_hint;
    QPushButton *m_add;
    QPushButton *m_cancel;
};

} // namespace vellora
