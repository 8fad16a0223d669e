#pragma once

#include "base/MainThreadQueue.h"

#include <QObject>

#include <functional>

// The object Qt calls on the main thread to run what was posted.
class MainThreadQueue::Receiver : public QObject {
    Q_OBJECT

public:
    explicit Receiver(std::function<void()> drainer) : m_drain(std::move(drainer)) {}

    Q_INVOKABLE void drain() { m_drain(); }

private:
    std::function<void()> m_drain;
};
