#pragma once

// Reads a fuzzer's bytes as a little script: single bytes, length-prefixed pieces and the rest.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace Qt::StringLiterals;

class FuzzInput final
{
public:
    FuzzInput(const uint8_t* data, size_t size)
        : m_data(reinterpret_cast<const char*>(data))
        , m_size(qsizetype(size))
    { }

    bool AtEnd() const { return m_at >= m_size; }
    quint8 Byte() { return m_at < m_size ? quint8(m_data[m_at++]) : 0; }
    quint16 Word() { return quint16(Byte() | Byte() << 8); }
    // A piece whose length is the next byte (at most what is left).
    QByteArray Piece()
    {
        const qsizetype length = std::min<qsizetype>(Byte(), m_size - m_at);
        const QByteArray piece(m_data + m_at, length);
        m_at += length;
        return piece;
    }
    QByteArray Bytes(qsizetype length)
    {
        length = std::min<qsizetype>(length, m_size - m_at);
        const QByteArray bytes(m_data + m_at, length);
        m_at += length;
        return bytes;
    }
    QByteArray Rest() { return Bytes(m_size - m_at); }

private:
    const char* m_data;
    qsizetype m_size;
    qsizetype m_at = 0;
};

// A broken invariant: say which and stop, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #condition);                   \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)
