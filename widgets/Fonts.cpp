#include "Fonts.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <cmath>

QStringList& PanelFamilies()
{
    static QStringList families = {
        QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
        QStringLiteral("Arimo"), QStringLiteral("Arial"), QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans"),
    };
    return families;
}

QFont PanelFont(double points, QFont::Weight weight, bool underline)
{
    // The faces installed, asked once. (families() rather than hasFamily():
    // no costly alias resolution, which Qt does not apply to a font's
    // families either)
    static const QStringList installed = QFontDatabase::families();
    // Only the installed faces of the list are named: Qt passes over the
    // others anyway, but only after asking fontconfig to sort stand-ins for
    // them. Where none is installed the whole list stays, for Qt's own
    // fallback.
    QStringList families;
    for (const QString& family : PanelFamilies())
        if (installed.contains(family))
            families << family;
    QFont font;
    font.setFamilies(families.isEmpty() ? PanelFamilies() : families);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(static_cast<int>(std::lround(points * 96.0 / 72.0)));
    font.setWeight(weight);
    font.setUnderline(underline);
    font.setItalic(false);
    // The usual stand-ins run about 4% wider than the face the layout was
    // drawn for.
    static const bool original =
        installed.contains(QStringLiteral("MS Sans Serif")) || installed.contains(QStringLiteral("Microsoft Sans Serif"));
    if (!original)
        font.setStretch(96);
    return font;
}

namespace {

// Trailing blanks take no room on screen; leading ones do.
QString Visible(QString text)
{
    while (!text.isEmpty() && text.back().isSpace())
        text.chop(1);
    return text;
}

bool Fits(const QFont& font, const QStringList& texts, QSize box, bool wrap)
{
    // Glyph widths scale with the size to within a fraction of a percent,
    // so 2 % of headroom at 100 % keeps 200 % inside as well, without
    // loading the face a second time at double size.
    constexpr qreal headroom = 1.02;
    const QFontMetricsF metrics(font);
    for (const QString& text : texts) {
        const QSizeF needed = wrap
            ? metrics.boundingRect(QRectF(0, 0, box.width() / headroom, 1e6), Qt::TextWordWrap, text).size()
            : QSizeF(metrics.horizontalAdvance(Visible(text)), metrics.height());
        if (needed.width() * headroom > box.width() || needed.height() * headroom > box.height())
            return false;
    }
    return true;
}

} // namespace

QFont FittedFont(QFont font, const QStringList& texts, QSize box, bool wrap)
{
    if (font.pixelSize() <= 0)
        return font;
    // Narrower first, which keeps the height the layout was drawn for; a
    // face that cannot narrow that far then steps down in size.
    constexpr int narrowest = 80;
    const int smallest = std::max(6, font.pixelSize() * 3 / 4);
    while (!Fits(font, texts, box, wrap)) {
        const int stretch = font.stretch() > 0 ? font.stretch() : 100;
        if (stretch > narrowest)
            font.setStretch(std::max(narrowest, stretch - 2));
        else if (font.pixelSize() > smallest)
            font.setPixelSize(font.pixelSize() - 1);
        else
            break;
    }
    return font;
}

void SetFittedText(QLabel* label, const QString& text, const QFont& font)
{
    if (label->text() == text)
        return;
    label->setFont(text.isEmpty() ? font : FittedFont(font, {text}, label->contentsRect().size(), label->wordWrap()));
    label->setText(text);
    label->setToolTip(text);
}

void ShowWholeLines(QLabel* label, const QStringList& lines, const QFont& font)
{
    const QRect room = label->contentsRect();
    const QFontMetrics metrics(font);
    const auto fits = [&](const QStringList& shown) {
        for (const QString& line : shown)
            for (const QString& word : line.split(u' '))
                if (metrics.horizontalAdvance(word) > room.width())
                    return false;
        const QRect needed = metrics.boundingRect(QRect(0, 0, room.width(), QWIDGETSIZE_MAX), Qt::TextWordWrap, shown.join(u'\n'));
        return needed.height() <= room.height();
    };
    QStringList shown = lines;
    for (qsizetype whole = lines.size(); whole >= 0; --whole) {
        shown = lines.mid(0, whole);
        if (whole < lines.size())
            shown << QStringLiteral("+%1 more: hover here for all").arg(lines.size() - whole);
        if (fits(shown))
            break;
    }
    label->setFont(font);
    label->setText(shown.join(u'\n'));
    label->setToolTip(lines.join(u'\n'));
}

void FitCaptions(QWidget* window)
{
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        QString text;
        QSize box;
        bool wrap = false;
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            text = label->text();
            box = label->contentsRect().size();
            wrap = label->wordWrap();
        } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
            QStyleOptionButton option;
            option.initFrom(button);
            text = button->text();
            // Only the width: a button centres its line and never cuts it at the top or bottom.
            box = QSize(button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width(), QWIDGETSIZE_MAX);
        } else if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
            constexpr int captionIndent = 8; // on both sides
            text = frame->title();
            box = QSize(frame->width() - 2 * captionIndent, QWIDGETSIZE_MAX);
        } else if (auto* combo = qobject_cast<QComboBox*>(widget); combo && combo->lineEdit()) {
            text = combo->currentText();
            box = QSize(combo->lineEdit()->width() - 4, QWIDGETSIZE_MAX); // less the field's text margins
        } else if (auto* field = qobject_cast<QLineEdit*>(widget); field && !qobject_cast<QComboBox*>(field->parentWidget())) {
            text = field->text();
            box = QSize(field->width() - 8, QWIDGETSIZE_MAX); // less its frame and text margins
        }
        if (text.trimmed().isEmpty())
            continue;
        const QFont fitted = FittedFont(widget->font(), {text}, box, wrap);
        if (fitted != widget->font())
            widget->setFont(fitted);
    }
}
