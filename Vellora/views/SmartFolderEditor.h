#pragma once
// The sheet in which a smart folder is named, set to match all or any of its
// rules, and its rules edited as rows of text (see RuleRows.h for what a row
// gives), or written by the language model from a sentence ("Describe it…",
// shown only while a model is set up). The footer counts the library's items
// that the rows match, live. Nothing reaches the store before Save, which
// hands the folder to LibraryStore::saveSmartFolder() and closes the sheet;
// Cancel (Escape) closes it and writes nothing.
//
// Save stays disabled while the name is blank or a row is refused (a colour
// that is not "#" and six hex digits), so no typed rule is lost silently.
// While the model is thinking, another description is ignored; a failed
// answer leaves the rows as they were and says so below the field.

#include "RuleRows.h"
#include "library/SmartFolder.h"

#include <QDialog>
#include <QList>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace vellora {

class LibraryStore;
class Spinner;
class SymbolButton;

class SmartFolderEditor : public QDialog {
    Q_OBJECT
public:
    // Edits `folder` (an existing one or a new one with a fresh id). With a
    // parent the sheet is window-modal over it.
    SmartFolderEditor(LibraryStore &store, const SmartFolder &folder, QWidget *parent = nullptr);

    // Whether the "Describe it" row shows; read from the settings at start.
    bool modelAvailable() const { return m_modelAvailable; }
    void setModelAvailable(bool available);

    // The folder as it would be saved now.
    SmartFolder editedFolder() const;
    const QList<RuleRow> &rows() const { return m_rows; }
    bool thinking() const { return m_thinking; }
    int matchCount() const { return m_count; }

    // Actions, as the buttons run them.
    void addRule();
    void removeRule(const QUuid &id);
    // Asks the model for rules from the description; ignored while thinking
    // or when the description is blank.
    void describe();
    void save();

    // The controls, for tests.
    QLineEdit *nameField() const { return m_name; }
    QPushButton *allButton() const { return m_all; }
    QPushButton *anyButton() const { return m_any; }
    QComboBox *kindBox(int row) const;
    QLineEdit *valueField(int row) const;
    SymbolButton *removeButton(int row) const;
    QLabel *problemLabel(int row) const;
    QPushButton *addRuleButton() const { return m_addRule; }
    QLineEdit *describeField() const { return m_describe; }
    // Why the last description gave no rules; hidden when it gave some.
    QLabel *describeStatus() const { return m_describeStatus; }
    QPushButton *saveButton() const { return m_save; }
    QPushButton *cancelButton() const { return m_cancel; }
    QLabel *countLabel() const { return m_countLabel; }

signals:
    void thinkingChanged(bool thinking);

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct RowWidgets {
        QWidget *row;
        QComboBox *kind;
        QLineEdit *value;
        SymbolButton *remove;
        QLabel *problem;
    };
    void rebuildRows();
    void refresh();
    void setThinking(bool thinking);
    int indexOf(const QUuid &id) const;

    LibraryStore &m_store;
    SmartFolder m_folder;
    QList<RuleRow> m_rows;
    bool m_modelAvailable = false;
    bool m_thinking = false;
    int m_count = 0;

    QLineEdit *m_name;
    QPushButton *m_all;
    QPushButton *m_any;
    QVBoxLayout *m_rowsLayout;
    QList<RowWidgets> m_rowWidgets;
    QPushButton *m_addRule;
    QWidget *m_describeRow;
    QLineEdit *m_describe;
    Spinner *m_spinner;
    QLabel *m_describeStatus;
    QLabel *m_countLabel;
    QPushButton *m_cancel;
    QPushButton *m_save;
};

} // namespace vellora
