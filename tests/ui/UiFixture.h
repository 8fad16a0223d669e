#pragma once

#include "base/LaunchOptions.h"
#include "core/HelperModel.h"
#include "link/PairedDevices.h"
#include "tests/support/TestDesktop.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTextDocumentFragment>

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

// What a text shows the user: text that a label or tooltip takes as rich text, by its words.
inline QString seen(const QString& text, Qt::TextFormat format = Qt::AutoText)
{
    const bool rich = format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(text));
    return rich ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
}

} // namespace Tests
