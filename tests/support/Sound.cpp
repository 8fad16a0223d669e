#include "tests/support/Sound.h"

#include "tests/support/Child.h"

#include <QHash>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace Tests {

QString pactl(const QStringList& arguments)
{
    Child child;
    child.start(u"pactl"_s, arguments);
    if (!child.wait(std::chrono::seconds(10)) || child.exitCode() != 0) {
        ADD_FAILURE() << "pactl " << arguments.join(u' ').toStdString() << ": " << child.errors().constData();
        return {};
    }
    return QString::fromUtf8(child.output());
}

QStringList streamSinks()
{
    const auto lines = [](const QString& what) {
        return pactl({u"list"_s, u"short"_s, what}).split(u'\n', Qt::SkipEmptyParts);
    };
    QHash<QString, QString> names; // by index
    for (const QString& line : lines(u"sinks"_s)) {
        names.insert(line.section(u'\t', 0, 0), line.section(u'\t', 1, 1));
    }
    QStringList streams;
    for (const QString& line : lines(u"sink-inputs"_s)) {
        streams.append(names.value(line.section(u'\t', 1, 1), u"?"_s));
    }
    return streams;
}

TonePlayer::TonePlayer()
    : m_module(pactl({u"load-module"_s, u"module-sine"_s, u"frequency=1000"_s}).trimmed())
{}

TonePlayer::~TonePlayer()
{
    // Quietly: the sound server may have gone.
    Child unload;
    unload.start(u"pactl"_s, {u"unload-module"_s, m_module});
    unload.wait(std::chrono::seconds(10));
}

} // namespace Tests
