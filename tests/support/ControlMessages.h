#pragma once

#include <QJsonDocument>
#include <QJsonObject>

namespace Tests {

// The phone's control messages ("ovu-input") as it sends them, each made by the function named
// after its type: the pointer moved (m), a button down (d) or up (u) at a fraction of the shown
// display (button 0 left, 2 right), the wheel (w), a key position down or up (kc), a named key
// (k), typed text (p), everything released (c).
struct Control {
    static QByteArray m(double x, double y) { return make("m", {{"x", x}, {"y", y}}); }
    static QByteArray d(double x, double y, int b = 0) { return make("d", {{"x", x}, {"y", y}, {"b", b}}); }
    static QByteArray u(double x, double y, int b = 0) { return make("u", {{"x", x}, {"y", y}, {"b", b}}); }
    static QByteArray w(double dx, double dy) { return make("w", {{"dx", dx}, {"dy", dy}}); }
    static QByteArray kc(int code, bool down) { return make("kc", {{"c", code}, {"d", down}}); }
    static QByteArray k(const QString& name) { return make("k", {{"k", name}}); }
    static QByteArray p(const QString& text) { return make("p", {{"s", text}}); }
    static QByteArray c() { return make("c", {}); }

    static QByteArray make(const char* type, std::initializer_list<std::pair<const char*, QJsonValue>> fields)
    {
        QJsonObject message{{QStringLiteral("t"), QLatin1String(type)}};
        for (const auto& [key, value] : fields) {
            message.insert(QLatin1String(key), value);
        }
        return QJsonDocument(message).toJson(QJsonDocument::Compact);
    }
};

} // namespace Tests
