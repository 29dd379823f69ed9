#include "AboutBox.h"

#include "Version.h"

#include "views/PlainText.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace vellora {

namespace {
// Room the window manager takes from the title bar for its buttons.
constexpr int kTitleBarButtons = 120;
constexpr int kMinimumWidth = 320;
} // namespace

AboutBox::AboutBox(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(tr("About Vellora"));
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(28, 24, 28, 18);
    column->setSpacing(6);

    m_name = plainLabel(QStringLiteral("Vellora"), this);
    QFont big = m_name->font();
    big.setPixelSize(26);
    big.setBold(true);
    m_name->setFont(big);
    m_name->setAlignment(Qt::AlignHCenter);
    column->addWidget(m_name);

    m_version = plainLabel(betaLabel(), this);
    m_version->setAlignment(Qt::AlignHCenter);
    m_version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette dim = m_version->palette();
    dim.setColor(QPalette::WindowText, QColor(235, 235, 245, 150));
    m_version->setPalette(dim);
    column->addWidget(m_version);
    column->addSpacing(14);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->setCenterButtons(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    column->addWidget(buttons);

    const int titleWidth = fontMetrics().horizontalAdvance(windowTitle()) + kTitleBarButtons;
    setMinimumWidth(std::max({kMinimumWidth, titleWidth, column->sizeHint().width()}));
    adjustSize();
    setFixedSize(size());
}

} // namespace vellora
