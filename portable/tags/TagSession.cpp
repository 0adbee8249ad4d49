#include "TagSession.h"

#include <algorithm>
#include <cstring>

#include "TagHex.h"
#include "Type2TagWriter.h"
#include "Type3TagReader.h"
#include "Type3TagWriter.h"
#include "Type4TagReader.h"
#include "Type4TagWriter.h"
#include "korvat_nfc.h"

namespace {

const uint8_t SelResIsoDep = 0x20;  // SEL_RES bit 6: the target speaks ISO/IEC 14443-4
const uint8_t VendorNxp = 0x04;
const uint8_t ProductNtag = 0x04;
const size_t VersionSize = 8;
const size_t Type2CcAddress = 12;
// The largest data area of the vendor's Type 2 Tags without GET_VERSION (the 48-page tags).
const size_t LargestDataAreaWithoutVersion = 144;

uint32_t readWord(const uint8_t *bytes)
{
    uint32_t value;
    std::memcpy(&value, bytes, sizeof(value));  // the records are little-endian, as is every target
    return value;
}

}  // namespace

TagStatus TagSession::parseTarget(const uint8_t *record, size_t size, TagTarget &target, std::string &error)
{
    target = TagTarget();
    if (record == nullptr || size < sizeof(uint32_t)) {
        error = "the record is shorter than its target_device field";
        return TagStatus::InvalidArgument;
    }
    const uint32_t device = readWord(record);
    // The fixed part of each layout and the offset of the byte giving its variable field's size.
    size_t fixed = 0;
    size_t sizeField = 0;
    switch (device) {
    case DEVICE_TYPE_NFC_14443A_18092_106K:
        fixed = offsetof(DEVICE_DATA_NFC_14443A_18092_106K, ATS);
        sizeField = offsetof(DEVICE_DATA_NFC_14443A_18092_106K, ATS_size);
        break;
    case DEVICE_TYPE_NFC_14443B_106K:
        fixed = offsetof(DEVICE_DATA_NFC_14443B_106K, ATTRIB);
        sizeField = offsetof(DEVICE_DATA_NFC_14443B_106K, ATTRIB_size);
        break;
    case DEVICE_TYPE_NFC_18092_212K:
    case DEVICE_TYPE_NFC_18092_424K:
        fixed = offsetof(DEVICE_DATA_NFC_18092_212_424K, RD);
        sizeField = offsetof(DEVICE_DATA_NFC_18092_212_424K, RD_size);
        break;
    default:
        error = "target_device " + std::to_string(device) + " is not a kind of target this library drives";
        return TagStatus::UnsupportedTarget;
    }
    if (size < fixed || size - fixed < record[sizeField]) {
        error = "a record of target_device " + std::to_string(device) + " needs " +
                std::to_string(size < fixed ? fixed : fixed + record[sizeField]) + " bytes, " + std::to_string(size) +
                " given";
        return TagStatus::InvalidArgument;
    }
    if (device == DEVICE_TYPE_NFC_14443A_18092_106K) {
        const uint8_t nfcid1Size = record[offsetof(DEVICE_DATA_NFC_14443A_18092_106K, NFCID1_size)];
        if (nfcid1Size > sizeof(DEVICE_DATA_NFC_14443A_18092_106K::NFCID1)) {
            error = "NFCID1_size " + std::to_string(nfcid1Size) + " is above 10";
            return TagStatus::InvalidArgument;
        }
        const uint8_t selRes = record[offsetof(DEVICE_DATA_NFC_14443A_18092_106K, sel_res)];
        const bool isoDep = record[sizeField] != 0 || (selRes & SelResIsoDep) != 0;
        target.kind = isoDep ? TagKind::Type4 : TagKind::Type2;
    } else if (device == DEVICE_TYPE_NFC_14443B_106K) {
        target.kind = TagKind::Type4;
    } else {
        const uint8_t *idm = record + offsetof(DEVICE_DATA_NFC_18092_212_424K, NFCID2);
        target.kind = TagKind::Type3;
        target.idm.assign(idm, idm + sizeof(DEVICE_DATA_NFC_18092_212_424K::NFCID2));
    }
    return TagStatus::Ok;
}

size_t TagSession::blankType2DataSize(const std::vector<uint8_t> &version)
{
    // Storage size byte: the data area of the tags of the GET_VERSION family.
    static const struct {
        uint8_t storage;
        size_t dataSize;
    } Sizes[] = {{0x0B, 48}, {0x0E, 128}, {0x0F, 144}, {0x11, 504}, {0x13, 888}};
    if (version.size() == VersionSize) {
        for (const auto &entry : Sizes) {
            if (entry.storage == version[6]) {
                return entry.dataSize;
            }
        }
    }
    return 48;
}

TagSession::TagSession(const TagTarget &target, Exchange exchange) : m_Target(target), m_Exchange(std::move(exchange))
{
}

TagStatus TagSession::fail(TagStatus status, const std::string &report, uint32_t detail)
{
    m_Report = report;
    m_Detail = detail;
    return status;
}

bool TagSession::exchange(const std::vector<uint8_t> &command, std::vector<uint8_t> &response)
{
    ++m_Commands;
    m_LastCommand = command;
    response.clear();
    const bool answered = m_Exchange(command, response);
    m_LastResponse = answered ? response : std::vector<uint8_t>();
    return answered;
}

template <class Driver>
bool TagSession::run(Driver &driver)
{
    std::vector<uint8_t> command, response;
    while (driver.nextCommand(command)) {
        if (!exchange(command, response)) {
            return false;
        }
        driver.takeResponse(response.data(), response.size());
    }
    return true;
}

template <class Driver>
TagStatus TagSession::runTag(Driver &driver)
{
    return run(driver) ? TagStatus::Ok
                       : fail(TagStatus::ExchangeFailed,
                              "no answer from the Type " + std::to_string(static_cast<unsigned>(m_Target.kind)) + " Tag");
}

template <class Driver, class Make>
TagStatus TagSession::runType2(Make make, Driver &driver, bool formatting)
{
    for (;;) {
        driver = make(m_Type2Options);
        std::vector<uint8_t> command, response;
        bool answered = true;
        while (answered && driver.nextCommand(command)) {
            answered = exchange(command, response);
            if (answered) {
                driver.takeResponse(response.data(), response.size());
                if (!m_VersionAsked && versionHelps(type2Reader(driver).memory(), formatting)) {
                    askVersion();
                    adoptVersion(driver);
                }
            }
        }
        if (answered) {
            return TagStatus::Ok;
        }
        // Only reading precedes the first WRITE: a failed FAST_READ may be tried again smaller.
        const bool fastRead = !m_LastCommand.empty() && m_LastCommand[0] == Type2TagReader::CommandFastRead;
        if (!fastRead || m_Type2Options.largestAnswer <= HalvedFastReadFloor) {
            return fail(TagStatus::ExchangeFailed, "no answer to the command " + tagHex(m_LastCommand.empty() ? 0 : m_LastCommand[0]));
        }
        m_Type2Options.largestAnswer = m_Type2Options.largestAnswer / 2 / Type2TagReader::PageSize * Type2TagReader::PageSize;
    }
}

bool TagSession::versionHelps(const std::vector<uint8_t> &memory, bool formatting)
{
    if (memory.size() < Type2TagReader::HeaderSize) {
        return false;
    }
    if (memory[Type2CcAddress] != Type2TagReader::CapabilityMagic) {
        // A blank tag's capability container takes the data area size only GET_VERSION gives.
        return formatting && std::all_of(memory.begin() + Type2CcAddress, memory.begin() + Type2TagReader::HeaderSize,
                                         [](uint8_t b) { return b == 0; });
    }
    // FAST_READ pays where READ of 16 bytes would take many commands; the smaller tags of the
    // vendor include ones without GET_VERSION, which leave the session for good when asked.
    const size_t dataSize = static_cast<size_t>(memory[Type2CcAddress + 2]) * 8;
    return memory[0] == VendorNxp && dataSize > LargestDataAreaWithoutVersion;
}

const Type2TagReader &TagSession::type2Reader(const Type2TagReader &reader)
{
    return reader;
}

const Type2TagReader &TagSession::type2Reader(const Type2TagWriter &writer)
{
    return writer.reader();
}

void TagSession::adoptVersion(Type2TagReader &reader) const
{
    reader.setOptions(m_Type2Options);
}

void TagSession::adoptVersion(Type2TagWriter &writer) const
{
    writer.setOptions(m_Type2Options);
    writer.setBlankDataSize(blankType2DataSize(m_Version));
}

void TagSession::askVersion()
{
    if (m_VersionAsked) {
        return;
    }
    m_VersionAsked = true;
    std::vector<uint8_t> response;
    if (exchange({CommandGetVersion}, response) && response.size() == VersionSize && response[0] == 0x00 &&
        response[1] == VendorNxp && response[2] == ProductNtag) {
        m_Version = response;
        m_Type2Options.fastRead = true;
        m_Type2Options.largestAnswer = LargestFastRead;
    }
}

uint32_t TagSession::refusalDetail() const
{
    const std::vector<uint8_t> &r = m_LastResponse;
    switch (m_Target.kind) {
    case TagKind::Type2:
        return r.size() == 1 ? r[0] : 0;
    case TagKind::Type3:
        return r.size() >= 12 ? static_cast<uint32_t>(r[10] << 8 | r[11]) : 0;
    case TagKind::Type4:
        return r.size() >= 2 ? static_cast<uint32_t>(r[r.size() - 2] << 8 | r[r.size() - 1]) : 0;
    default:
        return 0;
    }
}

bool TagSession::refusedAtFirstCommand(size_t commandsBefore) const
{
    return m_Commands == commandsBefore + 1 && (m_Target.kind == TagKind::Type3 || m_Target.kind == TagKind::Type4);
}

bool TagSession::type2Blank(const std::vector<uint8_t> &memory) const
{
    return memory.size() >= Type2TagReader::HeaderSize && memory[Type2CcAddress] != Type2TagReader::CapabilityMagic;
}

template <class Reader>
void TagSession::takeOutcome(const Reader &reader, TagRead &read)
{
    read.outcome = reader.outcome();
    read.report = reader.report();
    read.identity.ndefPresent = read.outcome == TagReadOutcome::Message || read.outcome == TagReadOutcome::NoMessage;
    if (read.outcome == TagReadOutcome::Message) {
        read.message = reader.message();
    }
}

TagStatus TagSession::readTag(TagRead &read)
{
    read = TagRead();
    TagIdentity &identity = read.identity;
    identity.kind = m_Target.kind;
    const size_t before = m_Commands;
    switch (m_Target.kind) {
    case TagKind::Type2: {
        Type2TagReader reader;
        const TagStatus status =
            runType2([](const Type2ReadOptions &options) { return Type2TagReader(options); }, reader, false);
        if (status != TagStatus::Ok) {
            return status;
        }
        takeOutcome(reader, read);
        const std::vector<uint8_t> &memory = reader.memory();
        if (read.outcome == TagReadOutcome::InvalidTag && type2Blank(memory)) {
            read.blankType2 = true;
            // Blank: NDEF-ready once formatted, unless the CC page or the first data page is locked.
            identity.writable = std::all_of(memory.begin() + Type2CcAddress, memory.begin() + Type2TagReader::HeaderSize,
                                            [](uint8_t b) { return b == 0; }) &&
                                (memory[10] & 0x18) == 0;
        } else if (identity.ndefPresent) {
            identity.capacity = reader.capacity();
            identity.writable = reader.writable();
            identity.messageSize = reader.layout().messageLength;
        }
        break;
    }
    case TagKind::Type3: {
        Type3TagReader reader(m_Target.idm);
        const TagStatus status = runTag(reader);
        if (status != TagStatus::Ok) {
            return status;
        }
        takeOutcome(reader, read);
        if (identity.ndefPresent) {
            const Type3AttributeInformation &info = reader.attributes();
            identity.capacity = Type3TagReader::capacity(info);
            identity.writable = info.accessFlag == 0x01;
            identity.messageSize = read.outcome == TagReadOutcome::Message ? info.messageLength : 0;
        }
        break;
    }
    case TagKind::Type4: {
        Type4TagReader reader;
        const TagStatus status = runTag(reader);
        if (status != TagStatus::Ok) {
            return status;
        }
        takeOutcome(reader, read);
        if (identity.ndefPresent) {
            const Type4CapabilityContainer &cc = reader.capabilityContainer();
            identity.capacity = Type4TagReader::capacity(cc);
            identity.writable = cc.writeAccess == 0x00;
            identity.messageSize = reader.message().size();
        }
        break;
    }
    default:
        return fail(TagStatus::UnsupportedTarget, "not a tag kind this library drives");
    }
    read.refusedAtFirstCommand = read.outcome == TagReadOutcome::Refused && refusedAtFirstCommand(before);
    return TagStatus::Ok;
}

TagStatus TagSession::refused(bool atFirstCommand, const std::string &report)
{
    return fail(atFirstCommand ? TagStatus::NotNdefFormatted : TagStatus::Refused, report, refusalDetail());
}

TagStatus TagSession::identify(TagIdentity &identity)
{
    TagRead read;
    const TagStatus status = readTag(read);
    identity = read.identity;
    // A blank Type 2 Tag, or no NDEF application or service: not NDEF formatted.
    if (status != TagStatus::Ok || read.blankType2 || read.refusedAtFirstCommand) {
        return status;
    }
    if (read.outcome == TagReadOutcome::Refused) {
        return refused(false, read.report);
    }
    return read.outcome == TagReadOutcome::InvalidTag ? fail(TagStatus::InvalidTag, read.report) : TagStatus::Ok;
}

TagStatus TagSession::readNdef(std::vector<uint8_t> &message)
{
    message.clear();
    TagRead read;
    const TagStatus status = readTag(read);
    if (status != TagStatus::Ok) {
        return status;
    }
    if (read.blankType2) {
        return fail(TagStatus::NotNdefFormatted, read.report);
    }
    switch (read.outcome) {
    case TagReadOutcome::Message:
        message.swap(read.message);
        return TagStatus::Ok;
    case TagReadOutcome::NoMessage:
        return TagStatus::Ok;
    case TagReadOutcome::Refused:
        return refused(read.refusedAtFirstCommand, read.report);
    default:
        return fail(TagStatus::InvalidTag, read.report);
    }
}

TagStatus TagSession::writeNdef(const std::vector<uint8_t> &message)
{
    return writeOrFormat(&message);
}

TagStatus TagSession::format()
{
    return writeOrFormat(nullptr);
}

TagStatus TagSession::writeOrFormat(const std::vector<uint8_t> *message)
{
    const size_t before = m_Commands;
    TagWriteOutcome outcome;
    std::string report;
    size_t capacity = 0;
    switch (m_Target.kind) {
    case TagKind::Type2: {
        Type2TagWriter writer({});
        const TagStatus status = runType2(
            [&](const Type2ReadOptions &options) {
                return message != nullptr ? Type2TagWriter(*message, options)
                                          : Type2TagWriter::formatter(blankType2DataSize(m_Version), options);
            },
            writer, message == nullptr);
        if (status != TagStatus::Ok) {
            return status;
        }
        outcome = writer.outcome();
        report = writer.report();
        capacity = writer.reader().capacity();
        if (outcome == TagWriteOutcome::InvalidTag && message != nullptr && type2Blank(writer.reader().memory())) {
            return fail(TagStatus::NotNdefFormatted, report);
        }
        break;
    }
    case TagKind::Type3: {
        if (message == nullptr) {
            return fail(TagStatus::UnsupportedTarget, "a Type 3 Tag is made NDEF-ready by its issuer, not by this library");
        }
        Type3TagWriter writer(m_Target.idm, *message);
        const TagStatus status = runTag(writer);
        if (status != TagStatus::Ok) {
            return status;
        }
        outcome = writer.outcome();
        report = writer.report();
        capacity = Type3TagReader::capacity(writer.attributes());
        break;
    }
    case TagKind::Type4: {
        Type4TagWriter writer(message != nullptr ? *message : std::vector<uint8_t>());
        const TagStatus status = runTag(writer);
        if (status != TagStatus::Ok) {
            return status;
        }
        outcome = writer.outcome();
        report = writer.report();
        capacity = Type4TagReader::capacity(writer.capabilityContainer());
        break;
    }
    default:
        return fail(TagStatus::UnsupportedTarget, "not a tag kind this library drives");
    }
    switch (outcome) {
    case TagWriteOutcome::Written:
        return TagStatus::Ok;
    case TagWriteOutcome::ReadOnly:
        return fail(TagStatus::ReadOnly, report);
    case TagWriteOutcome::TooLarge:
        return fail(TagStatus::TooLarge, report, static_cast<uint32_t>(capacity));
    case TagWriteOutcome::Refused:
        return refused(refusedAtFirstCommand(before), report);
    default:
        return fail(TagStatus::InvalidTag, report);
    }
}
