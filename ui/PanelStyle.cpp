#include "ui/PanelStyle.h"

#include <QEvent>
#include <QObject>
#include <QTextDocument>
#include <QWidget>

using namespace Qt::StringLiterals;

namespace PanelStyle {

namespace {

int pointSize(Text style)
{
    switch (style) {
    case Text::body:
    case Text::headline:
        return 13;
    case Text::callout:
        return 12;
    case Text::caption:
        return 10;
    case Text::title3:
        return 15;
    }
    return 13;
}

// Re-colours a widget's text whenever its palette changes (a desktop switching to dark).
class TextColor : public QObject {
public:
    TextColor(QWidget* widget, QColor (*color)(const QPalette&)) : QObject(widget), m_color(color)
    {
        widget->installEventFilter(this);
        update(widget);
    }
    void setColor(QWidget* widget, QColor (*color)(const QPalette&))
    {
        m_color = color;
        update(widget);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange) {
            update(static_cast<QWidget*>(watched));
        }
        return false;
    }

private:
    void update(QWidget* widget)
    {
        const QColor wanted =
            m_color(widget->parentWidget() ? widget->parentWidget()->palette() : widget->palette());
        QPalette palette = widget->palette();
        if (palette.color(QPalette::WindowText) == wanted) {
            return;
        }
        palette.setColor(QPalette::WindowText, wanted);
        palette.setColor(QPalette::Text, wanted);
        widget->setPalette(palette);
    }
    QColor (*m_color)(const QPalette&);
};

QColor mixed(const QColor& color, double alpha)
{
    QColor result = color;
    result.setAlphaF(static_cast<float>(alpha));
    return result;
}

} // namespace

QFont font(Text style, QFont::Weight weight)
{
    QFont font;
    font.setPixelSize(pointSize(style));
    font.setWeight(style == Text::headline && weight == QFont::Normal ? QFont::DemiBold : weight);
    return font;
}

void apply(QWidget* widget, Text style, QFont::Weight weight)
{
    widget->setFont(font(style, weight));
}

bool isDark(const QPalette& palette)
{
    return palette.color(QPalette::Window).lightness() < 128;
}

QColor accent(const QPalette& palette)
{
    return palette.color(QPalette::Highlight);
}

QColor secondary(const QPalette& palette)
{
    return mixed(palette.color(QPalette::WindowText), 0.6);
}

QColor tertiary(const QPalette& palette)
{
    return mixed(palette.color(QPalette::WindowText), 0.35);
}

QColor orange(const QPalette& palette)
{
    return isDark(palette) ? QColor(0xff, 0x9f, 0x0a) : QColor(0xc9, 0x6a, 0x00);
}

QColor boxFill(const QPalette& palette)
{
    // A faint grey over the window, half of the faintest fill.
    return isDark(palette) ? QColor(118, 118, 128, 46) : QColor(116, 116, 128, 26);
}

void setTextColor(QWidget* widget, QColor (*color)(const QPalette&))
{
    for (QObject* child : widget->children()) {
        if (auto* existing = dynamic_cast<TextColor*>(child)) {
            existing->setColor(widget, color);
            return;
        }
    }
    new TextColor(widget, color);
}

QString plainToolTip(const QString& text)
{
    if (!Qt::mightBeRichText(text)) {
        return text;
    }
    return u"<p style=\"white-space:pre\">"_s + text.toHtmlEscaped() + u"</p>"_s;
}

} // namespace PanelStyle
