#pragma once

#include "base/LaunchOptions.h"
#include "core/HelperModel.h"
#include "link/PairedDevices.h"
#include "tests/support/TestDesktop.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QWidget>

#include <memory>

namespace Tests {

// A model on a test desktop, with its own store and first-launch settings, that advertises nothing.
struct UiModel {
    QTemporaryDir folder;
    TestDesktop desktop;
    HelperModel model;

    explicit UiModel(QStringList arguments = {})
        : model((QSettings(QStringLiteral("OVU"), QStringLiteral("OVU Helper")).clear(),
                 LaunchOptions::parse(QStringList{QStringLiteral("ovu-helper")} + arguments)),
                desktop.platform(),
                std::make_unique<PairedDevices>(folder.path() + QStringLiteral("/helper")))
    {}
    // Tells the observers the model's state changed as the test case set it.
    void publish() { Q_EMIT model.changed(); }
};

template <typename T = QWidget>
T* child(const QWidget& parent, const QString& name)
{
    return parent.findChild<T*>(name);
}

// Shown to the user: the widget and every parent up to `top` are not hidden.
inline bool shown(const QWidget* widget, const QWidget& top)
{
    return widget && widget->isVisibleTo(&top);
}

// What a text shows the user: text that a label or tooltip takes as rich text, by its words.
inline QString seen(const QString& text, Qt::TextFormat format = Qt::AutoText)
{
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text))) {
        return text;
    }
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

} // namespace Tests
