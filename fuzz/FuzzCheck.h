// What every fuzz target uses: a check that stops the run with the rule that failed (the fuzzer
// then keeps the input), and a reader of the input as a sequence of fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: rule broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

// The fuzzer's bytes taken front to back; past the end every field is empty or zero.
class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : m_Data(data), m_Size(size) {}

    uint8_t byte() { return m_Position < m_Size ? m_Data[m_Position++] : 0; }
    uint32_t word()
    {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = value << 8 | byte();
        }
        return value;
    }
    // A field of `length` bytes or what is left. Copied, so that ASan sees the exact extent.
    std::vector<uint8_t> bytes(size_t length)
    {
        const size_t n = length < m_Size - m_Position ? length : m_Size - m_Position;
        std::vector<uint8_t> field(m_Data + m_Position, m_Data + m_Position + n);
        m_Position += n;
        return field;
    }
    // A field whose length is the next byte.
    std::vector<uint8_t> chunk() { return bytes(byte()); }
    std::vector<uint8_t> rest() { return bytes(m_Size - m_Position); }
    bool empty() const { return m_Position >= m_Size; }

private:
    const uint8_t *m_Data;
    size_t m_Size;
    size_t m_Position = 0;
};
