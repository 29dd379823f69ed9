#include "EnvironmentHooks.h"

#include "VisibleItems.h"

#include <QLocale>

#include <cmath>

namespace vellora {

QSize firstWindowSize(QSize preferred, const QRect &available, QSize minimum)
{
    if (!available.isValid())
        return preferred.expandedTo(minimum);
    // Borders and a title bar: the frame must fit, not only the inside.
    const QSize frame(16, 48);
    return preferred.boundedTo((available.size() - frame).expandedTo(QSize(0, 0))).expandedTo(minimum);
}

namespace {

// A number as a whole text, C locale, no blanks around it.
std::optional<double> readNumber(const QString &text)
{
    if (text.isEmpty() || text.front().isSpace() || text.back().isSpace())
        return std::nullopt;
    bool ok = false;
    const double value = QLocale::c().toDouble(text, &ok);
    if (!ok)
        return std::nullopt;
    return value;
}

bool finitePositive(double value) { return std::isfinite(value) && value > 0.0; }

} // namespace

std::optional<double> positiveNumber(const QString &text)
{
    const auto value = readNumber(text);
    if (!value || !finitePositive(*value))
        return std::nullopt;
    return value;
}

double sidebarWidthDefault(const std::optional<QString> &environmentValue)
{
    if (!environmentValue)
        return kDefaultSidebarWidth;
    return positiveNumber(*environmentValue).value_or(kDefaultSidebarWidth);
}

std::optional<QSizeF> windowSizeFromEnvironment(const QString &value)
{
    QList<double> numbers;
    for (const QString &piece : value.split(u'x', Qt::SkipEmptyParts)) {
        const auto number = readNumber(piece);
        if (!number)
            continue;
        if (!finitePositive(*number))
            return std::nullopt;
        numbers.append(*number);
    }
    if (numbers.size() != 2)
        return std::nullopt;
    return QSizeF(std::max(numbers[0], kMinimumWindowWidth), std::max(numbers[1], kMinimumWindowHeight));
}

std::optional<QString> sectionNamed(const QString &name, const QList<SmartFolder> &smartFolders,
                                    const QList<Board> &collections)
{
    for (const SmartFolder &folder : smartFolders)
        if (folder.name == name)
            return folder.id;
    for (const Board &board : collections)
        if (board.name == name)
            return board.id;
    for (const BuiltInSection &section : builtInSections())
        if (section.title == name)
            return section.id;
    return std::nullopt;
}

} // namespace vellora
