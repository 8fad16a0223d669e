#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// Shared pieces of the fuzz targets: the application object (LLVMFuzzerInitialize makes it) and
// the event pump.
namespace Fuzz {

// Delivers every posted event, until nothing is left to do.
void drain();

// Reads the input as records: a kind byte, a 16-bit big-endian length, that many bytes.
class Records {
public:
    Records(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool next(std::uint8_t& kind, QByteArray& body);

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_offset = 0;
};

} // namespace Fuzz
