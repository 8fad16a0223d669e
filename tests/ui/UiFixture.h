#pragma once

#include "base/LaunchOptions.h"
#include "core/HelperModel.h"
#include "core/LoginItem.h"
#include "link/PairedDevices.h"
#include "tests/support/FakeCaptureBackend.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QWidget>

#include <memory>

namespace Tests {

// A login item whose changes succeed or fail as the test says.
class FakeLoginItem : public LoginItem {
public:
    bool enabled = false;
    std::optional<QString> failure;
    bool isEnabled() const override { return enabled; }
    std::optional<QString> enable() override
    {
        if (failure) {
            return failure;
        }
        enabled = true;
        return std::nullopt;
    }
    std::optional<QString> disable() override
    {
        enabled = false;
        return std::nullopt;
    }
};

// A model with its own store and settings, one screen to show, and no advertising.
struct UiModel {
    QTemporaryDir folder;
    HelperModel model;
    FakeLoginItem* loginItem;

    explicit UiModel(QStringList arguments = {})
        : model((QSettings(QStringLiteral("OVU"), QStringLiteral("OVU Helper")).clear(),
                 LaunchOptions::parse(QStringList{QStringLiteral("ovu-helper")} + arguments)),
                QStringLiteral("Test Mac"), nullptr,
                std::make_unique<PairedDevices>(folder.path() + QStringLiteral("/helper")), nullptr,
                backend())
    {
        auto item = std::make_unique<FakeLoginItem>();
        loginItem = item.get();
        model.loginItem = std::move(item);
    }
    static std::unique_ptr<CaptureBackend> backend()
    {
        auto result = std::make_unique<FakeCaptureBackend>();
        result->displays = {{1, 1920, 1080}};
        result->mainID = 1;
        return result;
    }
    // Sets the model's published state as a test case wants it and tells the observers.
    void publish() { Q_EMIT model.changed(); }
};

template <typename T = QWidget>
T* child(const QWidget& parent, const QString& name)
{
    return parent.findChild<T*>(name);
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

// Shown to the user: the widget and every parent up to `top` are not hidden.
inline bool shown(const QWidget* widget, const QWidget& top)
{
    return widget && widget->isVisibleTo(&top);
}

} // namespace Tests
