// Small in-memory tags for the tag reader and writer tests: a Type 2 Tag of pages (READ,
// FAST_READ, WRITE with one-time-programmable lock bytes and CC), a Type 3 Tag of blocks (Read and
// Write Without Encryption) and a Type 4 Tag of two files (SELECT, READ BINARY, UPDATE BINARY).
// Each answers as a card would, whatever its memory holds, and refuses what the card would.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "HexText.h"

namespace korvat_test {

using Bytes = std::vector<uint8_t>;

// Runs a reader or a writer against a card for at most `limit` commands; returns the commands.
template <class Driver, class Card>
std::vector<Bytes> drive(Driver &driver, Card &card, size_t limit = 10000)
{
    std::vector<Bytes> sent;
    Bytes command;
    while (sent.size() < limit && driver.nextCommand(command)) {
        sent.push_back(command);
        const Bytes answer = card(command);
        driver.takeResponse(answer.data(), answer.size());
    }
    return sent;
}

struct MemoryType2Tag {
    static constexpr uint8_t Ack = 0x0A;
    static constexpr uint8_t Nak = 0x00;
    Bytes memory;  // from page 0, a whole number of pages

    size_t pages() const { return memory.size() / 4; }
    bool locked(size_t page) const
    {
        if (page >= 3 && page <= 7) {
            return (memory[10] >> page & 1) != 0;
        }
        return page >= 8 && page <= 15 && (memory[11] >> (page - 8) & 1) != 0;
    }
    Bytes operator()(const Bytes &command)
    {
        if (command.size() == 2 && command[0] == 0x30 && command[1] < pages()) {
            Bytes answer;
            for (size_t i = 0; i < 16; ++i) {
                answer.push_back(memory[(command[1] * 4 + i) % memory.size()]);  // wraps to page 0
            }
            return answer;
        }
        if (command.size() == 3 && command[0] == 0x3A && command[1] <= command[2] && command[2] < pages()) {
            return Bytes(memory.begin() + command[1] * 4, memory.begin() + (command[2] + 1) * 4);
        }
        if (command.size() == 6 && command[0] == 0xA2 && command[1] >= 2 && command[1] < pages() &&
            !locked(command[1])) {
            uint8_t *page = &memory[command[1] * 4];
            for (size_t i = 0; i < 4; ++i) {
                // Lock bytes and the capability container are one-time programmable: bits only set.
                page[i] = command[1] == 3 || (command[1] == 2 && i >= 2) ? page[i] | command[2 + i] : command[2 + i];
            }
            return {Ack};
        }
        return {Nak};
    }
};

// A Type 2 Tag: serial number and internal bytes, static lock bytes, CC E1 10 ss access, then
// the TLV area; the rest of the data area is `fill`.
inline MemoryType2Tag type2Tag(size_t dataSize, const std::string &tlvs, const std::string &lockBytes = "0000",
                               const std::string &access = "00", uint8_t fill = 0x00)
{
    MemoryType2Tag tag;
    tag.memory = unhex("04A1B2C3" "D4E5F607" "4848" + lockBytes + "E110" + hex({static_cast<uint8_t>(dataSize / 8)}) +
                       access);
    const Bytes area = unhex(tlvs);
    tag.memory.insert(tag.memory.end(), area.begin(), area.end());
    tag.memory.resize(16 + dataSize, fill);
    return tag;
}

struct MemoryType3Tag {
    Bytes idm = unhex("0102030405060708");
    Bytes blocks;  // block 0 (attribute information) first

    Bytes operator()(const Bytes &frame)
    {
        if (frame.size() < 14 || frame[0] != frame.size() || !std::equal(idm.begin(), idm.end(), frame.begin() + 2)) {
            return {};
        }
        const bool write = frame[1] == 0x08;
        Bytes answer = {0, static_cast<uint8_t>(frame[1] + 1)};
        answer.insert(answer.end(), idm.begin(), idm.end());
        const size_t count = frame[13];
        size_t position = 14;
        std::vector<size_t> numbers;
        for (size_t i = 0; i < count; ++i) {
            if (frame[position] & 0x80) {
                numbers.push_back(frame[position + 1]);
                position += 2;
            } else {
                numbers.push_back(static_cast<size_t>(frame[position + 1] | frame[position + 2] << 8));
                position += 3;
            }
        }
        bool inside = true;
        for (size_t number : numbers) {
            inside = inside && (number + 1) * 16 <= blocks.size();
        }
        if (!inside || (write && frame.size() != position + 16 * count)) {
            answer.insert(answer.end(), {0x01, 0xA8});
        } else {
            answer.insert(answer.end(), {0x00, 0x00});
            if (!write) {
                answer.push_back(static_cast<uint8_t>(count));
            }
            for (size_t i = 0; i < count; ++i) {
                uint8_t *block = &blocks[numbers[i] * 16];
                if (write) {
                    std::copy(frame.begin() + position + 16 * i, frame.begin() + position + 16 * (i + 1), block);
                } else {
                    answer.insert(answer.end(), block, block + 16);
                }
            }
        }
        answer[0] = static_cast<uint8_t>(answer.size());
        return answer;
    }
};

// Attribute block with its checksum: version 1.0, Nbr, Nbw, Nmaxb, WriteF, RWFlag, Ln.
inline Bytes type3Attributes(uint8_t nbr, uint8_t nbw, uint16_t nmaxb, uint8_t writeFlag, uint8_t rwFlag, uint32_t ln)
{
    Bytes block{0x10, nbr, nbw, static_cast<uint8_t>(nmaxb >> 8), static_cast<uint8_t>(nmaxb), 0, 0, 0, 0,
                writeFlag, rwFlag, static_cast<uint8_t>(ln >> 16), static_cast<uint8_t>(ln >> 8), static_cast<uint8_t>(ln)};
    unsigned sum = 0;
    for (uint8_t b : block) {
        sum += b;
    }
    block.push_back(static_cast<uint8_t>(sum >> 8));
    block.push_back(static_cast<uint8_t>(sum));
    return block;
}

inline MemoryType3Tag type3Tag(uint8_t nbr, uint8_t nbw, uint16_t nmaxb, uint8_t rwFlag, const Bytes &message)
{
    MemoryType3Tag tag;
    tag.blocks = type3Attributes(nbr, nbw, nmaxb, 0x00, rwFlag, static_cast<uint32_t>(message.size()));
    tag.blocks.insert(tag.blocks.end(), message.begin(), message.end());
    tag.blocks.resize(16 * (1 + nmaxb), 0x00);
    return tag;
}

struct MemoryType4Tag {
    Bytes cc;
    Bytes ndefFile;
    Bytes *selected = nullptr;

    Bytes operator()(const Bytes &apdu)
    {
        if (apdu.size() == 13 && apdu[1] == 0xA4 && apdu[2] == 0x04) {
            return unhex("9000");
        }
        if (apdu.size() == 7 && apdu[1] == 0xA4) {
            const uint16_t id = static_cast<uint16_t>(apdu[5] << 8 | apdu[6]);
            selected = id == 0xE103 ? &cc : id == static_cast<uint16_t>(cc[9] << 8 | cc[10]) ? &ndefFile : nullptr;
            return unhex(selected != nullptr ? "9000" : "6A82");
        }
        const size_t offset = apdu.size() >= 5 ? static_cast<size_t>(apdu[2] << 8 | apdu[3]) : 0;
        if (apdu.size() == 5 && apdu[1] == 0xB0 && selected != nullptr && offset + apdu[4] <= selected->size()) {
            Bytes answer(selected->begin() + offset, selected->begin() + offset + apdu[4]);
            answer.insert(answer.end(), {0x90, 0x00});
            return answer;
        }
        if (apdu.size() > 5 && apdu[1] == 0xD6 && selected == &ndefFile && apdu.size() == 5u + apdu[4]) {
            if (cc[14] != 0x00) {
                return unhex("6982");
            }
            if (offset + apdu[4] > ndefFile.size()) {
                return unhex("6B00");
            }
            std::copy(apdu.begin() + 5, apdu.end(), ndefFile.begin() + offset);
            return unhex("9000");
        }
        return unhex("6D00");
    }
};

// CC of version 2.0 with MLe, MLc, an NDEF file E104 of `fileSize` bytes and its write access.
inline MemoryType4Tag type4Tag(uint16_t mlc, uint16_t fileSize, uint8_t writeAccess, const Bytes &message)
{
    MemoryType4Tag tag;
    tag.cc = unhex("000F20003B");
    tag.cc.insert(tag.cc.end(), {static_cast<uint8_t>(mlc >> 8), static_cast<uint8_t>(mlc), 0x04, 0x06, 0xE1, 0x04,
                                 static_cast<uint8_t>(fileSize >> 8), static_cast<uint8_t>(fileSize), 0x00, writeAccess});
    tag.ndefFile = {static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())};
    tag.ndefFile.insert(tag.ndefFile.end(), message.begin(), message.end());
    tag.ndefFile.resize(fileSize, 0x00);
    return tag;
}

}  // namespace korvat_test
