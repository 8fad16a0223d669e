#pragma once

#include <QFile>
#include <QString>

#include <cstdint>

// A WAV file of 16-bit little-endian PCM written as the sound arrives: the header is written
// first with room for the sizes, which close() fills in.
class WavFile {
public:
    WavFile(QString path, int sampleRate, int channels);
    ~WavFile();
    WavFile(const WavFile&) = delete;
    WavFile& operator=(const WavFile&) = delete;

    // False when the file cannot be created.
    bool open();
    void append(const QByteArray& samples);
    // Completes the header; false when writing failed at any point.
    bool close();

    std::int64_t dataBytes() const { return m_dataBytes; }
    QString errorString() const { return m_file.errorString(); }

private:
    QFile m_file;
    const int m_sampleRate;
    const int m_channels;
    std::int64_t m_dataBytes = 0;
    bool m_failed = false;
};
