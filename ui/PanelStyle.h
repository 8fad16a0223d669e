#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

class QWidget;

// The text styles and colours the views share, in points (one point is one device-independent
// pixel), derived from the widget's palette so that they follow a light or a dark desktop.
namespace PanelStyle {

enum class Text { body, headline, callout, caption, title3 };

QFont font(Text style, QFont::Weight weight = QFont::Normal);
// Sets the font and, when given, the colour of the widget's text.
void apply(QWidget* widget, Text style, QFont::Weight weight = QFont::Normal);

QColor accent(const QPalette& palette);
QColor secondary(const QPalette& palette);
QColor tertiary(const QPalette& palette);
QColor orange(const QPalette& palette);
// The faint fill behind the boxes of the panel.
QColor boxFill(const QPalette& palette);
bool isDark(const QPalette& palette);

// A label's text colour; keeps following the palette when it changes.
void setTextColor(QWidget* widget, QColor (*color)(const QPalette&));

// A tooltip that shows the text as it is: tooltips take text that looks like markup as rich
// text, and names come from the phones.
QString plainToolTip(const QString& text);

} // namespace PanelStyle
