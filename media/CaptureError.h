#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <variant>

// A failure of the capture, with a sentence for whoever reports it.
struct CaptureError {
    QString domain;
    int code = 0;
    QString description;

    bool operator==(const CaptureError&) const = default;

    // The capture's own failure when there is nothing to capture.
    static CaptureError noDisplay()
    {
        return {QStringLiteral("OVUHelper"), 1, QStringLiteral("No display to capture.")};
    }
};

// A value or the reason there is none.
template <typename T>
class CaptureResult {
public:
    CaptureResult() = default;
    CaptureResult(T value) : m_value(std::move(value)) {}
    CaptureResult(CaptureError error) : m_value(std::move(error)) {}

    bool ok() const { return std::holds_alternative<T>(m_value); }
    const T& value() const { return std::get<T>(m_value); }
    T& value() { return std::get<T>(m_value); }
    const CaptureError& error() const { return std::get<CaptureError>(m_value); }

private:
    std::variant<T, CaptureError> m_value;
};
