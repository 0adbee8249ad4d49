#include "Type2TagWriter.h"

#include <algorithm>

#include "TagHex.h"

namespace {

const size_t PageSize = Type2TagReader::PageSize;
const size_t HeaderSize = Type2TagReader::HeaderSize;
const size_t CcPage = 3;
const size_t FirstDataPage = 4;

bool isAck(const uint8_t *response, size_t length)
{
    return length == 0 || (length == 1 && (response[0] & 0x0F) == 0x0A);
}

}  // namespace

Type2TagWriter::Type2TagWriter(const std::vector<uint8_t> &message, const Type2ReadOptions &options)
    : m_Message(message), m_Options(options), m_Reader(options)
{
}

Type2TagWriter Type2TagWriter::formatter(size_t blankDataSize, const Type2ReadOptions &options)
{
    Type2TagWriter writer({}, options);
    writer.m_Format = true;
    writer.m_BlankDataSize = blankDataSize;
    return writer;
}

void Type2TagWriter::setOptions(const Type2ReadOptions &options)
{
    m_Options = options;
    m_Reader.setOptions(options);
}

void Type2TagWriter::fail(TagWriteOutcome outcome, const std::string &report)
{
    m_Outcome = outcome;
    m_Report = report;
    m_Step = Step::Done;
}

void Type2TagWriter::addWrite(size_t page, const std::vector<uint8_t> &image)
{
    const size_t at = page * PageSize;
    // The same bytes again would change nothing.
    if (std::equal(image.begin() + at, image.begin() + at + PageSize, m_Memory.begin() + at)) {
        return;
    }
    std::vector<uint8_t> command = {CommandWrite, static_cast<uint8_t>(page)};
    command.insert(command.end(), image.begin() + at, image.begin() + at + PageSize);
    m_Writes.push_back(command);
    std::copy(image.begin() + at, image.begin() + at + PageSize, m_Memory.begin() + at);
}

bool Type2TagWriter::nextCommand(std::vector<uint8_t> &command)
{
    switch (m_Step) {
    case Step::ReadTag:
        if (m_Reader.nextCommand(command)) {
            return true;
        }
        planAfterRead();
        return nextCommand(command);
    case Step::ReadPages:
        if (m_Memory.size() >= m_NeededEnd) {
            planMessage();
            return nextCommand(command);
        }
        Type2TagReader::readCommand(m_Options, m_Memory.size(), m_NeededEnd, m_NeededEnd, command, m_Asked);
        return true;
    case Step::Write:
        if (m_NextWrite == m_Writes.size()) {
            m_Outcome = TagWriteOutcome::Written;
            m_Step = Step::Done;
            return false;
        }
        command = m_Writes[m_NextWrite];
        return true;
    default:
        return false;
    }
}

void Type2TagWriter::takeResponse(const uint8_t *response, size_t length)
{
    switch (m_Step) {
    case Step::ReadTag:
        m_Reader.takeResponse(response, length);
        return;
    case Step::ReadPages: {
        const std::string what = "READ from page " + std::to_string(m_Memory.size() / PageSize);
        if (length != m_Asked) {
            fail(length == 1 ? TagWriteOutcome::Refused : TagWriteOutcome::InvalidTag,
                 "the tag sent " + std::to_string(length) + " bytes instead of " + std::to_string(m_Asked) +
                     " to the " + what);
            return;
        }
        m_Memory.insert(m_Memory.end(), response, response + std::min(length, m_NeededEnd - m_Memory.size()));
        return;
    }
    case Step::Write:
        if (!isAck(response, length)) {
            const unsigned page = m_Writes[m_NextWrite][1];
            fail(TagWriteOutcome::Refused, "the tag refused the WRITE of page " + std::to_string(page) +
                                               (length == 1 ? " (NAK " + tagHex(response[0]) + ")" : ""));
            return;
        }
        ++m_NextWrite;
        return;
    default:
        return;
    }
}

void Type2TagWriter::planAfterRead()
{
    m_Memory = m_Reader.memory();
    const TagReadOutcome read = m_Reader.outcome();
    if (m_Format && m_Memory.size() >= HeaderSize &&
        std::all_of(m_Memory.begin() + CcPage * PageSize, m_Memory.begin() + HeaderSize, [](uint8_t b) { return b == 0; })) {
        planBlankFormat();
        return;
    }
    if (read == TagReadOutcome::Refused) {
        fail(TagWriteOutcome::Refused, m_Reader.report());
        return;
    }
    if (read != TagReadOutcome::Message && read != TagReadOutcome::NoMessage) {
        fail(TagWriteOutcome::InvalidTag, m_Reader.report());
        return;
    }
    const Type2Layout &layout = m_Reader.layout();
    if (!m_Reader.writable()) {
        fail(TagWriteOutcome::ReadOnly, layout.access != 0x00 ? "the tag is read-only (CC write access " +
                                                                    tagHex(layout.access) + ")"
                                                              : "the tag is read-only (static lock bits set)");
        return;
    }
    if (m_Format && layout.ndefPresent) {
        m_Outcome = TagWriteOutcome::Written;  // NDEF-ready already: nothing to write
        m_Step = Step::Done;
        return;
    }
    if (m_Message.size() > m_Reader.capacity()) {
        fail(TagWriteOutcome::TooLarge, "a message of " + std::to_string(m_Message.size()) +
                                            " bytes does not fit the tag's " + std::to_string(m_Reader.capacity()));
        return;
    }
    // The pages to write must be known whole: they may share bytes with other TLVs, reserved
    // areas or the end of the data area.
    std::vector<uint8_t> stream;
    std::vector<size_t> addresses;
    size_t firstLength = 0;
    if (!layOutStream(stream, addresses, firstLength)) {
        fail(TagWriteOutcome::TooLarge, m_Message.empty() ? std::string("the tag has no room for an NDEF TLV")
                                                          : "a message of " + std::to_string(m_Message.size()) +
                                                                " bytes does not fit the tag");
        return;
    }
    m_NeededEnd = (addresses.back() / PageSize + 1) * PageSize;
    m_Step = Step::ReadPages;
}

bool Type2TagWriter::layOutStream(std::vector<uint8_t> &stream, std::vector<size_t> &addresses,
                                  size_t &firstLength) const
{
    const Type2Layout &layout = m_Reader.layout();
    // NULL TLVs on the stream's bytes up to the NDEF TLV (reserved bytes are not part of it), the
    // TLV, and a terminator where there is room.
    stream.assign(Type2TagReader::streamLength(layout, layout.freeAddress, layout.ndefTlvAddress), 0x00);
    const size_t length = m_Message.size();
    stream.push_back(Type2TagReader::TlvNdef);
    firstLength = stream.size();
    if (length > 254) {
        stream.insert(stream.end(), {0xFF, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    } else {
        stream.push_back(static_cast<uint8_t>(length));
    }
    stream.insert(stream.end(), m_Message.begin(), m_Message.end());
    stream.push_back(Type2TagReader::TlvTerminator);
    // READ and WRITE carry one byte of page number; larger tags need sectors, not used here.
    const auto fits = [&] {
        return Type2TagReader::streamAddresses(layout, layout.freeAddress, stream.size(), addresses) &&
               addresses.back() / PageSize < Type2TagReader::AddressablePages;
    };
    if (fits()) {
        return true;
    }
    stream.pop_back();  // no room for the terminator: the end of the data area ends the TLVs
    return fits();
}

void Type2TagWriter::planMessage()
{
    std::vector<uint8_t> stream;
    std::vector<size_t> addresses;
    size_t firstLength = 0;
    if (!layOutStream(stream, addresses, firstLength) || addresses.back() >= m_Memory.size()) {
        fail(TagWriteOutcome::InvalidTag, "the tag's layout changed while it was read");  // not reached
        return;
    }
    std::vector<uint8_t> image = m_Memory;
    for (size_t i = 0; i < stream.size(); ++i) {
        image[addresses[i]] = stream[i];
    }
    const size_t lengthPage = addresses[firstLength] / PageSize;
    // Torn-write order: an empty NDEF TLV first; while its length is 0 nothing else is read.
    // Where a reserved area parts the type from the length, the length's page is written before
    // the type's and the type's before any other: that first WRITE keeps the bytes behind the
    // length as they were, so that until the type is written the stream still ends where it did
    // (a new TLV's length lies in NULL bytes, behind a terminator, or on one: see below).
    const bool typeApart = addresses[firstLength - 1] / PageSize != lengthPage;
    const size_t lengthAddress = addresses[firstLength];
    // Where the old stream ends at the length's byte, that terminator becomes a NULL TLV and the
    // reader would go on into bytes that are no TLVs: a terminator goes in the next stream byte
    // first, by the same WRITE where that byte is on the length's page.
    // (Without a stream byte after the length, the data area ends there and so does the stream.)
    const bool moveTerminator = typeApart && m_Memory[lengthAddress] == Type2TagReader::TlvTerminator &&
                                firstLength + 1 < addresses.size();
    const size_t next = moveTerminator ? addresses[firstLength + 1] : 0;
    if (moveTerminator && next / PageSize != lengthPage) {
        std::vector<uint8_t> ended = m_Memory;
        ended[next] = Type2TagReader::TlvTerminator;
        addWrite(next / PageSize, ended);
    }
    std::vector<uint8_t> empty = typeApart ? m_Memory : image;
    for (size_t i = 0; i < firstLength; ++i) {
        empty[addresses[i]] = stream[i];
    }
    empty[lengthAddress] = 0x00;
    if (moveTerminator) {
        empty[next] = Type2TagReader::TlvTerminator;
    }
    addWrite(lengthPage, empty);
    if (typeApart) {
        addWrite(addresses[firstLength - 1] / PageSize, image);  // before NULLs over an old terminator
    }
    std::vector<size_t> pages;
    for (size_t address : addresses) {
        pages.push_back(address / PageSize);
    }
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
    for (size_t page : pages) {
        if (page != lengthPage) {
            addWrite(page, image);
        }
    }
    addWrite(lengthPage, image);
    m_Step = Step::Write;
}

void Type2TagWriter::planBlankFormat()
{
    if (m_BlankDataSize == 0 || m_BlankDataSize % 8 != 0 || m_BlankDataSize > 255 * 8) {
        fail(TagWriteOutcome::InvalidTag, "blank tag (capability container all zero): its data area size is needed");
        return;
    }
    // Static lock bits of page 3 (the CC) and page 4 (the first TLV).
    if ((m_Memory[10] & 0x18) != 0) {
        fail(TagWriteOutcome::ReadOnly, "the tag is read-only (static lock bits set)");
        return;
    }
    // The empty NDEF TLV first: until the capability container is written the tag stays blank.
    std::vector<uint8_t> image = m_Memory;
    image.resize(HeaderSize + PageSize);
    m_Memory.resize(HeaderSize + PageSize, 0xFF);  // page 4 is not known: always written
    const uint8_t tlv[] = {Type2TagReader::TlvNdef, 0x00, Type2TagReader::TlvTerminator, 0x00};
    std::copy(tlv, tlv + 4, image.begin() + FirstDataPage * PageSize);
    const uint8_t cc[] = {Type2TagReader::CapabilityMagic, 0x10, static_cast<uint8_t>(m_BlankDataSize / 8), 0x00};
    std::copy(cc, cc + 4, image.begin() + CcPage * PageSize);
    addWrite(FirstDataPage, image);
    addWrite(CcPage, image);
    m_Step = Step::Write;
}
