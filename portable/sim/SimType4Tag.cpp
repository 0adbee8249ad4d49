#include "SimType4Tag.h"

#include <algorithm>
#include <cstring>

#include "SimBytes.h"

namespace sim {

const uint16_t SimType4Tag::MaximumUpdateLength;
const size_t SimType4Tag::SmallestWritableFileSize;
const size_t SimType4Tag::LargestWritableFileSize;

namespace {

const uint8_t NdefApplicationName[] = {0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01};
const uint16_t CapabilityContainerId = 0xE103;
const uint16_t NdefFileId = 0xE104;
// Largest READ BINARY answer the tag announces (MLe) and keeps to: readers read the NDEF file in
// several chunks. It fits SW2 of the "wrong Le" status word 6Cxx.
const uint16_t MaximumReadLength = 0x0080;
static_assert(MaximumReadLength <= 0xFF, "MLe is reported in SW2");

const uint8_t InsSelect = 0xA4;
const uint8_t InsReadBinary = 0xB0;
const uint8_t InsUpdateBinary = 0xD6;
const uint8_t WriteAccessGranted = 0x00;
const uint8_t WriteAccessNone = 0xFF;
const size_t NlenSize = 2;

std::vector<uint8_t> statusWord(uint16_t sw)
{
    return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)};
}

}  // namespace

SimType4Tag::SimType4Tag(const std::vector<uint8_t> &ndefMessage)
{
    // The file is NLEN and the message; the capability container announces at least 5 bytes.
    layOut(ndefMessage, 0, std::max<size_t>(NlenSize + ndefMessage.size(), 5), WriteAccessNone);
}

SimType4Tag::SimType4Tag(const std::vector<uint8_t> &ndefMessage, size_t fileSize) : m_Writable(true)
{
    const size_t size = std::max(fileSize, NlenSize + ndefMessage.size());
    layOut(ndefMessage, size, size, WriteAccessGranted);
}

void SimType4Tag::layOut(const std::vector<uint8_t> &ndefMessage, size_t fileSize, size_t announcedSize,
                         uint8_t writeAccess)
{
    appendBigEndian(m_NdefFile, static_cast<uint16_t>(ndefMessage.size()), NlenSize);
    m_NdefFile.insert(m_NdefFile.end(), ndefMessage.begin(), ndefMessage.end());
    m_NdefFile.resize(std::max(fileSize, m_NdefFile.size()), 0);

    appendBigEndian(m_CapabilityContainer, 15, 2);                   // CCLEN
    m_CapabilityContainer.push_back(0x20);                           // mapping version 2.0
    appendBigEndian(m_CapabilityContainer, MaximumReadLength, 2);    // MLe
    appendBigEndian(m_CapabilityContainer, MaximumUpdateLength, 2);  // MLc
    m_CapabilityContainer.push_back(0x04);                           // NDEF file control TLV
    m_CapabilityContainer.push_back(0x06);
    appendBigEndian(m_CapabilityContainer, NdefFileId, 2);
    appendBigEndian(m_CapabilityContainer, static_cast<uint16_t>(announcedSize), 2);
    m_CapabilityContainer.push_back(0x00);  // read access granted
    m_CapabilityContainer.push_back(writeAccess);
}

void SimType4Tag::reset()
{
    m_ApplicationSelected = false;
    m_File = SelectedFile::None;
}

std::vector<uint8_t> SimType4Tag::answer(const uint8_t *apdu, size_t length)
{
    if (length < 4) {
        return statusWord(0x6700);
    }
    if (apdu[0] != 0x00) {
        return statusWord(0x6E00);
    }
    switch (apdu[1]) {
    case InsSelect:
        return select(apdu, length);
    case InsReadBinary:
        return readBinary(apdu, length);
    case InsUpdateBinary:
        return updateBinary(apdu, length);
    default:
        return statusWord(0x6D00);
    }
}

std::vector<uint8_t> SimType4Tag::select(const uint8_t *apdu, size_t length)
{
    const uint8_t p1 = apdu[2];
    const uint8_t p2 = apdu[3];
    // Lc and its data, optionally followed by Le.
    if (length < 5 || (length != 5u + apdu[4] && length != 6u + apdu[4])) {
        return statusWord(0x6700);
    }
    const uint8_t *data = apdu + 5;
    const size_t dataLength = apdu[4];
    if (p1 == 0x04) {
        if ((p2 & ~0x0C) != 0) {
            return statusWord(0x6A86);
        }
        const bool match = dataLength == sizeof(NdefApplicationName) &&
                           std::memcmp(data, NdefApplicationName, sizeof(NdefApplicationName)) == 0;
        if (!match) {
            return statusWord(0x6A82);  // the current selection stays
        }
        m_ApplicationSelected = true;
        m_File = SelectedFile::None;
        return statusWord(0x9000);
    }
    if (p1 == 0x00) {
        if (p2 != 0x00 && p2 != 0x0C) {
            return statusWord(0x6A86);
        }
        if (dataLength != 2) {
            return statusWord(0x6700);
        }
        const uint16_t id = bigEndian16(data);
        if (!m_ApplicationSelected || (id != CapabilityContainerId && id != NdefFileId)) {
            return statusWord(0x6A82);
        }
        m_File = id == CapabilityContainerId ? SelectedFile::CapabilityContainer : SelectedFile::Ndef;
        return statusWord(0x9000);
    }
    return statusWord(0x6A86);
}

std::vector<uint8_t> SimType4Tag::readBinary(const uint8_t *apdu, size_t length) const
{
    if (length != 5) {
        return statusWord(0x6700);
    }
    const std::vector<uint8_t> *file = selectedFile();
    if (file == nullptr) {
        return statusWord(0x6986);
    }
    if (apdu[2] & 0x80) {  // short file identifier: not supported by this tag
        return statusWord(0x6A86);
    }
    const size_t offset = bigEndian16(apdu + 2);
    if (offset > file->size()) {
        return statusWord(0x6B00);
    }
    const size_t wanted = apdu[4] == 0 ? 256 : apdu[4];
    if (wanted > MaximumReadLength) {
        // Wrong Le: SW2 gives the most this tag answers, as its capability container says.
        return statusWord(static_cast<uint16_t>(0x6C00 | MaximumReadLength));
    }
    const size_t count = std::min(wanted, file->size() - offset);
    std::vector<uint8_t> response(file->begin() + offset, file->begin() + offset + count);
    const std::vector<uint8_t> sw = statusWord(count < wanted ? 0x6282 : 0x9000);
    response.insert(response.end(), sw.begin(), sw.end());
    return response;
}

std::vector<uint8_t> SimType4Tag::updateBinary(const uint8_t *apdu, size_t length)
{
    if (selectedFile() == nullptr) {
        return statusWord(0x6986);
    }
    // Only the NDEF file of a writable tag can be written; the capability container never.
    if (!m_Writable || m_File != SelectedFile::Ndef) {
        return statusWord(0x6982);
    }
    // Lc (1 to MLc) and exactly that much data, no Le.
    if (length < 6 || length != 5u + apdu[4] || apdu[4] > MaximumUpdateLength) {
        return statusWord(0x6700);
    }
    if (apdu[2] & 0x80) {  // short file identifier: not supported by this tag
        return statusWord(0x6A86);
    }
    const size_t offset = bigEndian16(apdu + 2);
    const size_t count = apdu[4];
    if (offset >= m_NdefFile.size()) {
        return statusWord(0x6B00);
    }
    if (count > m_NdefFile.size() - offset) {
        return statusWord(0x6700);  // nothing is written
    }
    std::copy(apdu + 5, apdu + 5 + count, m_NdefFile.begin() + offset);
    return statusWord(0x9000);
}

const std::vector<uint8_t> *SimType4Tag::selectedFile() const
{
    switch (m_File) {
    case SelectedFile::CapabilityContainer:
        return &m_CapabilityContainer;
    case SelectedFile::Ndef:
        return &m_NdefFile;
    default:
        return nullptr;
    }
}

}  // namespace sim
