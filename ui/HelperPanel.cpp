#include "ui/HelperPanel.h"

#include "core/HelperModel.h"
#include "link/PairedDevices.h"
#include "ui/PanelBox.h"
#include "ui/PanelStyle.h"
#include "ui/SwitchButton.h"
#include "ui/SymbolView.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;
using PanelStyle::Text;

namespace {

const QString quittingNote =
    u"Quitting stops OVU Desktop from connecting to this Mac until you open OVU Helper again."_s;

QLabel* label(const QString& text, Text style, QWidget* parent, QFont::Weight weight = QFont::Normal)
{
    auto* result = new QLabel(text, parent);
    PanelStyle::apply(result, style, weight);
    result->setTextFormat(Qt::PlainText);
    return result;
}

QLabel* wrapping(const QString& text, Text style, QWidget* parent)
{
    QLabel* result = label(text, style, parent);
    result->setWordWrap(true);
    result->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    return result;
}

QPushButton* smallButton(const QString& title, QWidget* parent)
{
    auto* button = new QPushButton(title, parent);
    button->setFont(PanelStyle::font(Text::caption));
    button->setAutoDefault(false);
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return button;
}

QPushButton* button(const QString& title, QWidget* parent)
{
    auto* result = new QPushButton(title, parent);
    result->setFont(PanelStyle::font(Text::body));
    result->setAutoDefault(false);
    result->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return result;
}

// A one-line label that shows as much of its text as fits, ending in "…".
// Its text is shown as it is, never as markup: names come from the phones.
class ElidedLabel : public QLabel {
public:
    explicit ElidedLabel(QWidget* parent) : QLabel(parent) { setTextFormat(Qt::PlainText); }
    void setFullText(const QString& text)
    {
        m_full = text;
        setToolTip(PanelStyle::plainToolTip(text));
        elide();
    }
    QSize minimumSizeHint() const override { return {20, QLabel::minimumSizeHint().height()}; }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QLabel::resizeEvent(event);
        elide();
    }

private:
    void elide() { setText(fontMetrics().elidedText(m_full, Qt::ElideRight, std::max(0, width()))); }
    QString m_full;
};

} // namespace

HelperPanel::HelperPanel(HelperModel& model, PairedDevices& devices, std::function<void()> onDone,
                         QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_devices(devices)
    , m_onDone(std::move(onDone))
{
    setObjectName(u"HelperPanel"_s);
    setFixedWidth(pointWidth);
    setFont(PanelStyle::font(Text::body));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(margin, margin, margin, margin);
    column->setSpacing(spacing);

    // 1. Header.
    auto* header = new QHBoxLayout;
    header->setSpacing(6);
    header->addWidget(label(u"OVU Helper"_s, Text::headline, this));
    header->addStretch();
    m_statusSymbol = new SymbolView(u"exclamationmark.circle"_s, 12, &PanelStyle::secondary, this);
    m_statusSymbol->setObjectName(u"statusSymbol"_s);
    m_statusWord = label({}, Text::caption, this, QFont::Medium);
    m_statusWord->setObjectName(u"statusWord"_s);
    header->addWidget(m_statusSymbol, 0, Qt::AlignVCenter);
    header->addWidget(m_statusWord, 0, Qt::AlignVCenter);
    column->addLayout(header);

    // 2. The model's message.
    m_messageNote = new QWidget(this);
    m_messageNote->setObjectName(u"messageNote"_s);
    auto* note = new QHBoxLayout(m_messageNote);
    note->setContentsMargins(0, 0, 0, 0);
    note->setSpacing(6);
    note->addWidget(
        new SymbolView(u"exclamationmark.triangle.fill"_s, 12, &PanelStyle::orange, m_messageNote), 0,
        Qt::AlignTop);
    m_messageText = wrapping({}, Text::callout, m_messageNote);
    m_messageText->setObjectName(u"messageText"_s);
    PanelStyle::setTextColor(m_messageText, &PanelStyle::orange);
    note->addWidget(m_messageText, 1);
    column->addWidget(m_messageNote);

    // 3, 4. The permission requests.
    // What they say, and whether they offer a way to grant the permission, is the desktop's.
    m_recordingBox =
        permissionBox(u"recordingBox"_s, u"Allow screen recording"_s, [this] { m_model.askForRecording(); });
    column->addWidget(m_recordingBox);
    m_controlBox = permissionBox(u"controlBox"_s, u"Allow control"_s, [this] { m_model.askForControl(); });
    column->addWidget(m_controlBox);

    // 5. The connected phone, or the hint.
    m_connectedBox = new PanelBox(this);
    m_connectedBox->setObjectName(u"connectedBox"_s);
    auto* phoneRow = new QHBoxLayout;
    phoneRow->setSpacing(6);
    phoneRow->addWidget(new SymbolView(
        u"iphone"_s, 14, [](const QPalette& p) { return p.color(QPalette::WindowText); }, m_connectedBox));
    auto* name = new ElidedLabel(m_connectedBox);
    PanelStyle::apply(name, Text::body, QFont::Medium);
    name->setObjectName(u"connectedName"_s);
    m_connectedName = name;
    phoneRow->addWidget(m_connectedName, 1);
    QPushButton* disconnect = button(u"Disconnect"_s, m_connectedBox);
    disconnect->setObjectName(u"disconnectButton"_s);
    connect(disconnect, &QPushButton::clicked, this,
            [this] { m_model.endSession(u"Sharing was stopped on the Mac."_s); });
    phoneRow->addWidget(disconnect);
    m_connectedBox->content()->addLayout(phoneRow);
    // Figures in a font whose digits all have the same width.
    m_figures = label({}, Text::caption, m_connectedBox);
    m_figures->setObjectName(u"figures"_s);
    PanelStyle::setTextColor(m_figures, &PanelStyle::secondary);
    m_connectedBox->content()->addWidget(m_figures);
    column->addWidget(m_connectedBox);

    m_hint = wrapping({}, Text::callout, this);
    m_hint->setObjectName(u"hint"_s);
    PanelStyle::setTextColor(m_hint, &PanelStyle::secondary);
    column->addWidget(m_hint);

    // 6, 7. The switches.
    column->addWidget(divider());
    auto* switches = new QVBoxLayout;
    switches->setSpacing(8);
    switches->addWidget(switchRow(u"acceptsConnections"_s, u"Accept connections"_s, &m_accepts));
    switches->addWidget(switchRow(u"sendsSound"_s, u"Send this Mac’s sound"_s, &m_sound));
    switches->addWidget(
        switchRow(u"mutesWhileConnected"_s, u"Mute this Mac while a phone listens"_s, &m_mute));
    switches->addWidget(switchRow(u"opensAtLogin"_s, u"Open at login"_s, &m_atLogin));
    column->addLayout(switches);
    connect(m_accepts, &SwitchButton::clicked, this, [this](bool on) { m_model.setAcceptsConnections(on); });
    connect(m_sound, &SwitchButton::clicked, this, [this](bool on) { m_model.setSendsSound(on); });
    connect(m_mute, &SwitchButton::clicked, this, [this](bool on) { m_model.setMutesWhileConnected(on); });
    // The switch shows the login item's real state: the model sets it after every attempt.
    connect(m_atLogin, &SwitchButton::clicked, this, [this](bool on) {
        m_atLogin->setChecked(m_model.opensAtLogin);
        m_model.setOpensAtLogin(on);
        refresh();
    });

    // 8. The allowed phones.
    m_devicesSection = new QWidget(this);
    m_devicesSection->setObjectName(u"devicesSection"_s);
    auto* section = new QVBoxLayout(m_devicesSection);
    section->setContentsMargins(0, 0, 0, 0);
    section->setSpacing(spacing);
    section->addWidget(divider());
    m_deviceRows = new QVBoxLayout;
    m_deviceRows->setSpacing(6);
    QLabel* caption = label(u"Allowed devices"_s, Text::caption, m_devicesSection);
    PanelStyle::setTextColor(caption, &PanelStyle::secondary);
    m_deviceRows->addWidget(caption);
    section->addLayout(m_deviceRows);
    column->addWidget(m_devicesSection);

    // 9, 10. The footer.
    column->addWidget(divider());
    auto* footer = new QVBoxLayout;
    footer->setSpacing(8);
    auto* footerRow = new QHBoxLayout;
    footerRow->setSpacing(8);
    QLabel* version = label(u"Version "_s + QApplication::applicationVersion(), Text::caption, this);
    version->setObjectName(u"version"_s);
    PanelStyle::setTextColor(version, &PanelStyle::tertiary);
    footerRow->addWidget(version);
    footerRow->addStretch();
    QPushButton* quit = smallButton(u"Quit OVU Helper"_s, this);
    quit->setObjectName(u"quitButton"_s);
    connect(quit, &QPushButton::clicked, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    footerRow->addWidget(quit);
    if (m_onDone) {
        QPushButton* done = smallButton(u"Done"_s, this);
        done->setObjectName(u"doneButton"_s);
        done->setDefault(true);
        connect(done, &QPushButton::clicked, this, [this] { m_onDone(); });
        for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
            auto* shortcut = new QShortcut(QKeySequence(key), this);
            shortcut->setContext(Qt::WindowShortcut);
            connect(shortcut, &QShortcut::activated, done, &QPushButton::click);
        }
        footerRow->addWidget(done);
    }
    footer->addLayout(footerRow);
    QLabel* footerNote = wrapping(
        m_onDone ? u"Done closes this window and leaves OVU Helper running. "_s + quittingNote : quittingNote,
        Text::caption, this);
    footerNote->setObjectName(u"footerNote"_s);
    PanelStyle::setTextColor(footerNote, &PanelStyle::secondary);
    footer->addWidget(footerNote);
    column->addLayout(footer);

    connect(&m_model, &HelperModel::changed, this, &HelperPanel::refresh);
    connect(&m_devices, &PairedDevices::devicesChanged, this, &HelperPanel::rebuildDevices);
    rebuildDevices();
    refresh();
}

QWidget* HelperPanel::permissionBox(const QString& objectName, const QString& title,
                                    const std::function<void()>& open)
{
    auto* box = new PanelBox(this);
    box->setObjectName(objectName);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(6);
    titleRow->addWidget(
        new SymbolView(
            u"hand.raised.fill"_s, 13, [](const QPalette& p) { return p.color(QPalette::WindowText); }, box),
        0, Qt::AlignVCenter);
    titleRow->addWidget(label(title, Text::callout, box, QFont::DemiBold), 1);
    box->content()->addLayout(titleRow);
    QLabel* explanation = wrapping({}, Text::callout, box);
    explanation->setObjectName(objectName + u"Text"_s);
    PanelStyle::setTextColor(explanation, &PanelStyle::secondary);
    box->content()->addWidget(explanation);
    QPushButton* settings = button(u"Open Settings…"_s, box);
    settings->setObjectName(objectName + u"Button"_s);
    connect(settings, &QPushButton::clicked, this, open);
    box->content()->addWidget(settings, 0, Qt::AlignLeft);
    return box;
}

QWidget* HelperPanel::switchRow(const QString& objectName, const QString& title, SwitchButton** button)
{
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(label(title, Text::body, row), 1);
    *button = new SwitchButton(row);
    (*button)->setObjectName(objectName);
    (*button)->setAccessibleName(title);
    layout->addWidget(*button, 0, Qt::AlignVCenter);
    return row;
}

QWidget* HelperPanel::divider()
{
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedHeight(1);
    line->setObjectName(u"divider"_s);
    PanelStyle::setTextColor(line, [](const QPalette& p) {
        QColor color = p.color(QPalette::WindowText);
        color.setAlphaF(0.15F);
        return color;
    });
    return line;
}

QString HelperPanel::figures(double framesPerSecond, double megabitsPerSecond, int width, int height)
{
    return QString::asprintf("%.0f pictures/s · %.1f Mbit/s · %d × %d", framesPerSecond, megabitsPerSecond,
                             width, height);
}

void HelperPanel::rebuildDevices()
{
    // Everything after the caption is a device row.
    while (m_deviceRows->count() > 1) {
        QLayoutItem* item = m_deviceRows->takeAt(1);
        delete item->widget();
        delete item;
    }
    for (const PairedDevice& device : m_devices.devices()) {
        auto* row = new QWidget(m_devicesSection);
        row->setObjectName(u"deviceRow"_s);
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(6);
        layout->addWidget(new SymbolView(u"iphone"_s, 13, &PanelStyle::secondary, row), 0, Qt::AlignVCenter);
        auto* name = new ElidedLabel(row);
        name->setFullText(device.name);
        name->setObjectName(u"deviceName"_s);
        layout->addWidget(name, 1);
        QPushButton* forget = smallButton(u"Forget"_s, row);
        forget->setObjectName(u"forgetButton"_s);
        // The row may be gone by the time the click is handled; the id finds the device.
        connect(forget, &QPushButton::clicked, this, [this, id = device.id] {
            for (const PairedDevice& candidate : m_devices.devices()) {
                if (candidate.id == id) {
                    m_model.forget(candidate);
                    return;
                }
            }
        });
        layout->addWidget(forget);
        m_deviceRows->addWidget(row);
    }
    refresh();
}

void HelperPanel::refresh()
{
    const HelperModel& model = m_model;
    QString word;
    QString symbol;
    if (model.connectedName) {
        word = u"Connected"_s;
        symbol = u"dot.radiowaves.left.and.right"_s;
    } else if (model.canRecord && model.acceptsConnections()) {
        word = u"Ready"_s;
        symbol = u"checkmark.circle"_s;
    } else if (model.canRecord) {
        word = u"Off"_s;
        symbol = u"pause.circle"_s;
    } else {
        word = u"Needs permission"_s;
        symbol = u"exclamationmark.circle"_s;
    }
    m_statusWord->setText(word);
    m_statusSymbol->setSymbol(symbol);
    const SymbolView::Tint tint = model.connectedName ? &PanelStyle::accent : &PanelStyle::secondary;
    m_statusSymbol->setTint(tint);
    PanelStyle::setTextColor(m_statusWord, tint);

    m_messageNote->setVisible(model.message.has_value());
    m_messageText->setText(model.message.value_or(QString()));
    m_recordingBox->setVisible(!model.canRecord);
    m_recordingBox->findChild<QLabel*>(u"recordingBoxText"_s)->setText(model.recordingPage().help);
    m_recordingBox->findChild<QPushButton*>(u"recordingBoxButton"_s)
        ->setVisible(static_cast<bool>(model.recordingPage().open));
    m_controlBox->setVisible(!model.canControl);
    m_controlBox->findChild<QLabel*>(u"controlBoxText"_s)->setText(model.controlPage().help);
    m_controlBox->findChild<QPushButton*>(u"controlBoxButton"_s)
        ->setVisible(static_cast<bool>(model.controlPage().open));

    m_connectedBox->setVisible(model.connectedName.has_value());
    static_cast<ElidedLabel*>(m_connectedName)->setFullText(model.connectedName.value_or(QString()));
    const bool flowing = model.state().kind == SenderState::Kind::connected;
    m_figures->setVisible(flowing);
    m_figures->setText(figures(model.stats().framesPerSecond, model.stats().megabitsPerSecond,
                               model.stats().width, model.stats().height));
    m_hint->setVisible(!model.connectedName && model.canRecord);
    m_hint->setText(model.acceptsConnections()
                        ? u"Open Screen Sharing in OVU Desktop on your phone and choose "
                          u"this Mac. Both must be on the same network."_s
                        : u"This Mac is not taking connections."_s);

    m_accepts->setChecked(model.acceptsConnections());
    m_sound->setChecked(model.sendsSound());
    m_mute->setChecked(model.mutesWhileConnected());
    m_mute->setEnabled(model.sendsSound());
    m_atLogin->setChecked(model.opensAtLogin);

    m_devicesSection->setVisible(!m_devices.devices().isEmpty());
    fitHeight();
}

void HelperPanel::fitHeight()
{
    QLayout* column = layout();
    column->invalidate();
    column->activate();
    const int height = column->hasHeightForWidth() ? column->totalHeightForWidth(pointWidth)
                                                   : column->totalSizeHint().height();
    if (height != this->height() || minimumHeight() != height) {
        setFixedHeight(height);
        Q_EMIT resized();
    }
}

void HelperPanel::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // The first show starts the helper; later calls do nothing.
    m_model.startUp();
}
