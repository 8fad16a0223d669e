#pragma once

#include <QWidget>

#include <functional>

class QPushButton;

// The pairing prompt's content: the phone's name, the code to compare and the two answers.
// "Don’t Allow" is on Escape; "Allow" has no key, so Return does not allow.
class PairingView : public QWidget {
    Q_OBJECT

public:
    static constexpr int pointWidth = 420;

    PairingView(const QString& name, const QString& code, std::function<void(bool)> answer,
                QWidget* parent = nullptr);

    QPushButton* allowButton() const { return m_allow; }
    QPushButton* refuseButton() const { return m_refuse; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    const std::function<void(bool)> m_answer;
    QPushButton* m_allow;
    QPushButton* m_refuse;
};
