#include "media/SenderState.h"

using namespace Qt::StringLiterals;

QString SenderState::description() const
{
    switch (kind) {
    case Kind::idle:
        return u"idle"_s;
    case Kind::waiting:
        return u"waiting"_s;
    case Kind::connected:
        return u"connected"_s;
    case Kind::failed:
        return u"failed(\""_s + message + u"\")"_s;
    }
    return QString();
}
