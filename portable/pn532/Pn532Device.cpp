#include "Pn532Device.h"

#include "Pn532ErrorCodes.h"

namespace pn532 {

namespace {

// A PN532 acknowledges a command within a few milliseconds; one that stays silent this long
// has lost the frame, and is sent the command again.
const uint32_t AckWaitMs = 250;
const int MaximumSends = 3;
// Bytes of one frame follow each other closely; a frame that stops this long lost bytes.
const uint32_t StallGapMs = 100;
const int MaximumNacks = 2;
// After an abort the chip sends nothing more; what still arrives meanwhile is dropped.
const uint32_t AbortSettleMs = 15;

// 0x55 0x55 and fourteen 0x00: wakes the chip's HSU link before the first frame.
const uint8_t WakeUpPreamble[16] = {0x55, 0x55, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

const uint8_t Pn532Ic = 0x32;
const uint8_t ParameterAutomaticAtrRes = 0x04;
const uint8_t ParameterAutomaticRats = 0x10;
const uint8_t FelicaRequestResponse = 0x04;
const uint8_t Type2Read = 0x30;

using reader::fail;

bool elapsed(uint32_t now, uint32_t deadline)
{
    return static_cast<int32_t>(now - deadline) >= 0;
}

}  // namespace

Device::Device(Link &link) : m_Link(link) {}

Device::Wait Device::nextFrame(uint32_t deadline, Frame &frame, bool &stalled)
{
    stalled = false;
    uint32_t lastByte = m_Link.milliseconds();
    for (;;) {
        if (!m_Pending.empty()) {
            frame = std::move(m_Pending.front());
            m_Pending.erase(m_Pending.begin());
            return Wait::Frame;
        }
        const uint32_t now = m_Link.milliseconds();
        if (m_Reader.inFrame() && elapsed(now, lastByte + StallGapMs)) {
            stalled = true;
            m_Reader.reset();
            return Wait::Expired;
        }
        if (elapsed(now, deadline)) {
            return Wait::Expired;
        }
        uint32_t wait = deadline - now;
        if (m_Reader.inFrame() && lastByte + StallGapMs - now < wait) {
            wait = lastByte + StallGapMs - now;
        }
        uint8_t buffer[300];
        const long got = m_Link.read(buffer, sizeof(buffer), wait);
        if (got < 0) {
            return Wait::PortFailed;
        }
        if (got > 0) {
            lastByte = m_Link.milliseconds();
            m_Reader.feed(buffer, static_cast<size_t>(got), m_Pending);
        }
    }
}

bool Device::sendFrame(const std::vector<uint8_t> &bytes, Error &error)
{
    return m_Link.write(bytes.data(), bytes.size()) || fail(error, PN532_E_LINK, PN532_LINK_WRITE_FAILED);
}

bool Device::abortCommand(uint8_t code, uint32_t deadline, Error &error)
{
    ++m_Counters.aborts;
    m_Link.write(AckFrame, sizeof(AckFrame));
    // Until the line has been quiet for the settle time; a device that keeps sending gets the
    // rest of the command's time-out, or the settle time once that has passed, and no more.
    const uint32_t now = m_Link.milliseconds();
    const uint32_t drainEnd = elapsed(now + AbortSettleMs, deadline) ? now + AbortSettleMs : deadline;
    uint8_t buffer[300];
    for (uint32_t t = now; !elapsed(t, drainEnd); t = m_Link.milliseconds()) {
        const uint32_t left = drainEnd - t;
        if (m_Link.read(buffer, sizeof(buffer), left < AbortSettleMs ? left : AbortSettleMs) <= 0) {
            break;
        }
    }
    m_Link.discardInput();
    m_Reader.reset();
    m_Pending.clear();
    return fail(error, PN532_E_TIMEOUT, code);
}

bool Device::command(const std::vector<uint8_t> &request, std::vector<uint8_t> &answer, uint32_t timeoutMs,
                     Error &error)
{
    const uint8_t code = request.at(0);
    ++m_Counters.commands;
    const uint32_t deadline = m_Link.milliseconds() + timeoutMs;
    std::vector<uint8_t> bytes;
    if (m_Asleep) {
        bytes.assign(WakeUpPreamble, WakeUpPreamble + sizeof(WakeUpPreamble));
    }
    const std::vector<uint8_t> frame = encodeFrame(HostToChip, request);
    bytes.insert(bytes.end(), frame.begin(), frame.end());

    int sends = 0;
    int nacks = 0;
    bool acknowledged = false;
    bool send = true;
    uint32_t ackDeadline = deadline;
    for (;;) {
        if (send) {
            m_Link.discardInput();
            m_Reader.reset();
            m_Pending.clear();
            if (!sendFrame(bytes, error)) {
                return false;
            }
            if (sends++ > 0) {
                ++m_Counters.resends;
            }
            send = false;
            acknowledged = false;
            nacks = 0;
            ackDeadline = m_Link.milliseconds() + AckWaitMs;
            if (!elapsed(deadline, ackDeadline)) {
                ackDeadline = deadline;
            }
        }
        Frame received;
        bool stalled = false;
        const Wait wait = nextFrame(acknowledged ? deadline : ackDeadline, received, stalled);
        if (wait == Wait::PortFailed) {
            return fail(error, PN532_E_LINK, PN532_LINK_READ_FAILED);
        }
        if (wait == Wait::Expired) {
            if (stalled && acknowledged) {
                received.kind = Frame::Kind::Damaged;  // asked for again below
            } else if (elapsed(m_Link.milliseconds(), deadline) || sends >= MaximumSends) {
                return abortCommand(code, deadline, error);
            } else if (!acknowledged) {
                send = true;
                continue;
            } else {
                continue;
            }
        }
        switch (received.kind) {
        case Frame::Kind::Ack:
            acknowledged = true;
            continue;
        case Frame::Kind::Nack:
            // The chip did not take the command frame: send it again.
            if (!acknowledged && sends < MaximumSends) {
                send = true;
            }
            continue;
        case Frame::Kind::Damaged:
            if (nacks >= MaximumNacks) {
                abortCommand(code, deadline, error);
                return fail(error, PN532_E_LINK, PN532_LINK_DAMAGED_FRAMES);
            }
            ++nacks;
            ++m_Counters.nacks;
            if (!sendFrame(std::vector<uint8_t>(NackFrame, NackFrame + sizeof(NackFrame)), error)) {
                return false;
            }
            continue;
        case Frame::Kind::SyntaxError:
            return fail(error, PN532_E_LINK, PN532_LINK_SYNTAX_ERROR);
        case Frame::Kind::Information:
            // An answer whose ACK was lost is taken all the same.
            if (received.tfi != ChipToHost || received.data.empty() ||
                received.data[0] != static_cast<uint8_t>(code + 1)) {
                abortCommand(code, deadline, error);
                return fail(error, PN532_E_LINK, PN532_LINK_UNEXPECTED_ANSWER);
            }
            answer.assign(received.data.begin() + 1, received.data.end());
            m_Asleep = false;
            return true;
        }
    }
}

bool Device::statusOnly(const std::vector<uint8_t> &answer, Error &error)
{
    if (answer.empty()) {
        return fail(error, PN532_E_LINK, PN532_LINK_UNEXPECTED_ANSWER);
    }
    if ((answer[0] & StatusErrorMask) != 0) {
        error = statusError(answer[0]);
        return false;
    }
    return true;
}

bool Device::open(uint32_t timeoutMs, Error &error)
{
    m_Asleep = true;
    std::vector<uint8_t> answer;
    // SAMConfiguration, normal mode, takes the chip out of its low-power state.
    if (!command({SamConfiguration, 0x01}, answer, timeoutMs, error) ||
        !command({GetFirmwareVersion}, answer, timeoutMs, error)) {
        return false;
    }
    if (answer.size() != 4 || answer[0] != Pn532Ic) {
        uint32_t packed = 0;
        for (size_t i = 0; i < answer.size() && i < 4; ++i) {
            packed |= static_cast<uint32_t>(answer[i]) << (24 - 8 * i);
        }
        return fail(error, PN532_E_NOT_PN532, packed);
    }
    m_Firmware = static_cast<uint32_t>(answer[0]) << 24 | answer[1] << 16 | answer[2] << 8 | answer[3];
    // Automatic RATS: a listed ISO/IEC 14443-4 A card is activated and its ATS returned.
    // Finite retries (ATR 2, PSL 1, passive activation 1): a listing with no card ends at once.
    return command({SetParameters, ParameterAutomaticAtrRes | ParameterAutomaticRats}, answer, timeoutMs, error) &&
           command({RfConfiguration, 0x05, 0x02, 0x01, 0x01}, answer, timeoutMs, error) &&
           command({RfConfiguration, 0x01, 0x01}, answer, timeoutMs, error);
}

bool Device::close(uint32_t timeoutMs, Error &error)
{
    Error first;
    std::vector<uint8_t> answer;
    Error scratch;
    if (!targetCommand(InRelease, 0, timeoutMs, scratch) && first.code == 0) {
        first = scratch;
    }
    if (!command({RfConfiguration, 0x01, 0x00}, answer, timeoutMs, scratch) && first.code == 0) {
        first = scratch;
    }
    // Power down, woken again by the HSU link.
    if (!command({PowerDown, 0x10}, answer, timeoutMs, scratch) && first.code == 0) {
        first = scratch;
    }
    m_Asleep = true;
    if (first.code != 0) {
        error = first;
        return false;
    }
    return true;
}

bool Device::listTargets(Modulation modulation, std::vector<ListedTarget> &targets, uint32_t timeoutMs, Error &error)
{
    std::vector<uint8_t> request{InListPassiveTarget, 0x01, static_cast<uint8_t>(modulation)};
    switch (modulation) {
    case Modulation::Felica212:
    case Modulation::Felica424:
        // Polling, any system code, request code 1 (the system code is returned), one time slot.
        request.insert(request.end(), {0x00, 0xFF, 0xFF, 0x01, 0x00});
        break;
    case Modulation::TypeB106:
        request.push_back(0x00);  // AFI: every card
        break;
    case Modulation::TypeA106:
        break;
    }
    std::vector<uint8_t> answer;
    if (!command(request, answer, timeoutMs, error)) {
        return false;
    }
    return reader::parseListedTargets(modulation, answer.data(), answer.size(), targets) ||
           fail(error, PN532_E_LINK, PN532_LINK_UNEXPECTED_ANSWER);
}

bool Device::exchange(uint8_t tg, const uint8_t *data, size_t length, std::vector<uint8_t> &answer,
                      size_t maximumAnswer, uint32_t timeoutMs, Error &error)
{
    std::vector<uint8_t> reply;
    size_t offset = 0;
    // The command, in pieces; every piece but the last carries MI in the target byte.
    do {
        const size_t piece = length - offset < MaximumExchangeChunk ? length - offset : MaximumExchangeChunk;
        const bool last = offset + piece == length;
        std::vector<uint8_t> request{InDataExchange, static_cast<uint8_t>(last ? tg : (tg | StatusMoreInformation))};
        request.insert(request.end(), data + offset, data + offset + piece);
        if (!command(request, reply, timeoutMs, error) || !statusOnly(reply, error)) {
            return false;
        }
        offset += piece;
    } while (offset < length);
    answer.assign(reply.begin() + 1, reply.end());
    // The answer, gathered while the chip sets MI. A piece that brings no data cannot be part
    // of an answer: without this, a chip that kept answering so would be asked for ever.
    while ((reply[0] & StatusMoreInformation) != 0) {
        if (!command({InDataExchange, tg}, reply, timeoutMs, error) || !statusOnly(reply, error)) {
            return false;
        }
        if (reply.size() == 1) {
            return fail(error, PN532_E_LINK, PN532_LINK_UNEXPECTED_ANSWER);
        }
        if (answer.size() + reply.size() - 1 > maximumAnswer) {
            return fail(error, PN532_E_TOO_LONG, static_cast<uint32_t>(answer.size() + reply.size() - 1));
        }
        answer.insert(answer.end(), reply.begin() + 1, reply.end());
    }
    if (answer.size() > maximumAnswer) {
        return fail(error, PN532_E_TOO_LONG, static_cast<uint32_t>(answer.size()));
    }
    return true;
}

bool Device::targetCommand(Command code, uint8_t tg, uint32_t timeoutMs, Error &error)
{
    std::vector<uint8_t> answer;
    return command({code, tg}, answer, timeoutMs, error) && statusOnly(answer, error);
}

bool Device::targetPresent(const ListedTarget &target, uint32_t timeoutMs, Error &error)
{
    std::vector<uint8_t> answer;
    if (target.cardType == CardTypeF212 || target.cardType == CardTypeF424) {
        std::vector<uint8_t> request{InDataExchange, target.tg, 10, FelicaRequestResponse};
        request.insert(request.end(), target.nfcid2.begin(), target.nfcid2.end());
        if (!command(request, answer, timeoutMs, error) || !statusOnly(answer, error)) {
            return false;
        }
        return (answer.size() == 12 && answer[2] == FelicaRequestResponse + 1) ||
               fail(error, PN532_E_CARD_NO_ANSWER, answer[0]);
    }
    if (target.type2Tag()) {
        // READ of page 0 changes nothing on a Type 2 Tag; a tag that has gone does not answer.
        return command({InDataExchange, target.tg, Type2Read, 0x00}, answer, timeoutMs, error) &&
               statusOnly(answer, error);
    }
    if (target.cardType == CardTypeA && target.ats.empty()) {
        return true;  // another card without ISO/IEC 14443-4 (MIFARE): nothing to ask without disturbing it
    }
    // Diagnose, card presence test of the active ISO/IEC 14443-4 target.
    return command({Diagnose, 0x06}, answer, timeoutMs, error) && statusOnly(answer, error);
}

}  // namespace pn532
