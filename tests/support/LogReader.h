#pragma once

#include <QString>
#include <QStringList>

#include <chrono>

// Reads a helper log: the messages (without timestamps) of the lines written so far.
namespace Tests {

QStringList logMessages(const QString& path);
// Waits until a message of the log contains the text; says whether one did.
bool waitForLogLine(const QString& path, const QString& text,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));

} // namespace Tests
