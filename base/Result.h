#pragma once

#include <QString>

#include <utility>
#include <variant>

// Why an operation failed: a sentence for the log, and for the user where it concerns them.
struct Failure {
    QString sentence;

    bool operator==(const Failure&) const = default;
};

// What an operation that can fail gives: its value, or the failure. Result<> carries no value.
template <typename T = void>
class Result {
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Failure failure) : m_value(std::move(failure)) {}

    bool ok() const { return std::holds_alternative<T>(m_value); }
    const T& value() const { return std::get<T>(m_value); }
    T& value() { return std::get<T>(m_value); }
    const QString& error() const { return std::get<Failure>(m_value).sentence; }

private:
    std::variant<T, Failure> m_value;
};

template <>
class Result<void> {
public:
    Result() = default;
    Result(Failure failure) : m_failure(std::move(failure.sentence)), m_failed(true) {}

    bool ok() const { return !m_failed; }
    const QString& error() const { return m_failure; }

    bool operator==(const Result&) const = default;

private:
    QString m_failure;
    bool m_failed = false;
};
