#pragma once

#include <QWidget>

class QVBoxLayout;

// The panel's box: content stacked at the leading edge, 6 points apart, 10 points inside a
// rounded rectangle with a faint fill.
class PanelBox : public QWidget {
    Q_OBJECT

public:
    explicit PanelBox(QWidget* parent = nullptr);
    QVBoxLayout* content() const { return m_content; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* m_content;
};
