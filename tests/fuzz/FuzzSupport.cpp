#include "tests/fuzz/FuzzSupport.h"

#include <QCoreApplication>

namespace Fuzz {

namespace {

void initialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
}

} // namespace

void drain()
{
    for (int i = 0; i < 8; ++i) {
        QCoreApplication::sendPostedEvents();
    }
}

bool Records::next(std::uint8_t& kind, QByteArray& body)
{
    if (m_offset + 3 > m_size) {
        return false;
    }
    kind = m_data[m_offset];
    std::size_t length = (std::size_t(m_data[m_offset + 1]) << 8) | m_data[m_offset + 2];
    m_offset += 3;
    length = std::min(length, m_size - m_offset);
    body = QByteArray(reinterpret_cast<const char*>(m_data + m_offset), static_cast<qsizetype>(length));
    m_offset += length;
    return true;
}

} // namespace Fuzz

// Every target runs inside one application object, made before the first input.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    Fuzz::initialize(argc, argv);
    return 0;
}
