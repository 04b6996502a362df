#pragma once

#include <QFont>
#include <QSize>
#include <QStringList>

class QLabel;
class QWidget;

// The faces tried for the panel's text, best first: "MS Sans Serif" where
// present, else sans-serifs of like metrics; whatever the system offers when
// none is installed.
QStringList& PanelFamilies();

// The panel's face at a point size given for 96 dots per inch. Sizes become
// pixels so the fixed layout holds its text on screens of any density.
QFont PanelFont(double points, QFont::Weight weight = QFont::Normal, bool underline = false);

// `font`, narrowed and if need be made smaller, so that each of `texts` fits
// `box` (in logical pixels) at 100 % and at 200 % scale: on one line, or
// wrapped at word boundaries within the box's width when `wrap` is set.
QFont FittedFont(QFont font, const QStringList& texts, QSize box, bool wrap = false);

// Fits the font of every label, button, frame title and text field of
// `window` to its box; a face wider than the one the layout was drawn for
// would otherwise cut its captions.
void FitCaptions(QWidget* window);

// Shows `text` in `label` in `font`, made smaller where it would not fit the
// label's box otherwise: text that changes while the window is open (a
// status) is never cut off. The whole text is its tooltip too.
void SetFittedText(QLabel* label, const QString& text, const QFont& font);
// Shows as many of `lines`, in turn, as fit `label` whole in `font`, never
// shrunk nor cut (a line may wrap where it has blanks); where not all fit,
// the last line shown says how many more there are. The tooltip shows them all.
void ShowWholeLines(QLabel* label, const QStringList& lines, const QFont& font);
