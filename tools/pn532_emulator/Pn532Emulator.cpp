#include "Pn532Emulator.h"

#include <algorithm>
#include <cstring>

#include "SimNdef.h"

namespace pn532emu {

using pn532::Frame;

namespace {

const uint8_t StatusOk = 0x00;
const uint8_t StatusNoAnswer = 0x01;
const uint8_t StatusInvalidFrame = 0x13;    // a MIFARE-style command refused with a NAK
const uint8_t StatusBufferOverflow = 0x0E;  // an answer longer than the chip's buffer
const uint8_t StatusNotAcceptable = 0x27;
const uint8_t StatusMoreInformation = 0x40;
const size_t MaximumDataIn = 262;

// CIU registers: TxMode and RxMode bit 7 switch the chip's CRC on sending and receiving.
const uint16_t RegisterTxMode = 0x6302;
const uint16_t RegisterRxMode = 0x6303;
const uint8_t CrcEnable = 0x80;

// CRC_A of ISO/IEC 14443-3, least significant byte first.
void appendCrcA(const uint8_t *data, size_t length, std::vector<uint8_t> &out)
{
    uint32_t crc = 0x6363;
    for (size_t i = 0; i < length; ++i) {
        uint8_t b = static_cast<uint8_t>(data[i] ^ (crc & 0xFF));
        b = static_cast<uint8_t>(b ^ (b << 4));
        crc = (crc >> 8) ^ (static_cast<uint32_t>(b) << 8) ^ (static_cast<uint32_t>(b) << 3) ^ (b >> 4);
    }
    out.push_back(static_cast<uint8_t>(crc));
    out.push_back(static_cast<uint8_t>(crc >> 8));
}

bool isFelica(sim::CardKind kind)
{
    return kind == sim::CardKind::TypeF212 || kind == sim::CardKind::TypeF424;
}

}  // namespace

// A scenario card and its tag model (CardModels).
struct Emulator::Card : sim::CardModels {
    sim::CardDescription description;
};

bool parseFaultKind(const std::string &name, Fault::Kind &kind)
{
    static const std::pair<const char *, Fault::Kind> names[] = {
        {"delayed-ack", Fault::Kind::DelayedAck},   {"bad-checksum", Fault::Kind::BadChecksum},
        {"nack", Fault::Kind::NackRequest},         {"dropped-byte", Fault::Kind::DroppedByte},
        {"no-answer", Fault::Kind::NoAnswer},       {"disconnect", Fault::Kind::Disconnect},
        {"babble", Fault::Kind::Babble},
    };
    for (const auto &n : names) {
        if (name == n.first) {
            kind = n.second;
            return true;
        }
    }
    return false;
}

Emulator::Emulator(const sim::Scenario &scenario, const Fault &fault) : m_RepeatMs(scenario.repeatMs), m_Fault(fault)
{
    // The chip adds and checks the CRC until a host switches it off.
    m_Registers[RegisterTxMode] = CrcEnable;
    m_Registers[RegisterRxMode] = CrcEnable;
    for (const sim::CardDescription &description : scenario.cards) {
        std::unique_ptr<Card> card(new Card);
        card->description = description;
        // Writes stay for the emulator's run.
        sim::makeCardModels(description, *card);
        m_Cards.push_back(std::move(card));
    }
}

Emulator::~Emulator() = default;

void Emulator::resetSession(uint32_t nowMs)
{
    m_SessionStart = nowMs;
    m_Targets.clear();
    m_ChainedCommand.clear();
    m_PendingAnswer.clear();
    m_RfOn = false;
    m_PassiveRetries = 0xFF;
}

bool Emulator::inField(const Card &card, uint32_t nowMs) const
{
    uint32_t elapsed = nowMs - m_SessionStart;
    if (m_RepeatMs != 0) {
        elapsed %= m_RepeatMs;
    }
    return card.description.enterMs <= elapsed && elapsed < card.description.leaveMs;
}

bool Emulator::faultApplies(uint8_t code)
{
    if (m_Fault.kind == Fault::Kind::None || (m_Fault.command >= 0 && m_Fault.command != code)) {
        return false;
    }
    const uint32_t match = m_FaultMatches++;
    if (match < m_Fault.skip || (m_Fault.count != 0 && match >= m_Fault.skip + m_Fault.count)) {
        return false;
    }
    ++m_Counters.faultsApplied;
    return true;
}

void Emulator::receive(const uint8_t *bytes, size_t length, uint32_t nowMs, std::vector<Output> &outputs,
                       bool &cancelPending)
{
    cancelPending = false;
    std::vector<Frame> frames;
    m_Reader.feed(bytes, length, frames);
    for (const Frame &frame : frames) {
        handleFrame(frame, nowMs, outputs, cancelPending);
    }
}

void Emulator::handleFrame(const Frame &frame, uint32_t nowMs, std::vector<Output> &outputs, bool &cancelPending)
{
    switch (frame.kind) {
    case Frame::Kind::Ack:
        // The host aborts the command in progress: its answer is not sent.
        ++m_Counters.abortsReceived;
        cancelPending = true;
        outputs.clear();
        return;
    case Frame::Kind::Nack:
        ++m_Counters.nacksReceived;
        if (!m_LastResponse.empty()) {
            outputs.push_back({0, m_LastResponse, false, false});
        }
        return;
    case Frame::Kind::Damaged:
    case Frame::Kind::SyntaxError:
        return;  // a frame with a bad checksum is ignored: no ACK
    case Frame::Kind::Information:
        break;
    }
    if (frame.tfi != pn532::HostToChip || frame.data.empty()) {
        return;
    }
    // A new command supersedes one still waiting for its answer.
    cancelPending = true;
    outputs.clear();
    ++m_Counters.commands;
    const uint8_t code = frame.data[0];
    const bool fault = faultApplies(code);
    if (fault && m_Fault.kind == Fault::Kind::NoAnswer) {
        return;
    }
    if (fault && m_Fault.kind == Fault::Kind::NackRequest) {
        outputs.push_back({0, std::vector<uint8_t>(pn532::NackFrame, pn532::NackFrame + 6), false, false});
        return;
    }
    if (fault && m_Fault.kind == Fault::Kind::Disconnect) {
        outputs.push_back({0, {}, true, false});
        return;
    }
    if (fault && m_Fault.kind == Fault::Kind::Babble) {
        outputs.push_back({0, {}, false, true});
        return;
    }
    if (m_Asleep) {
        m_Asleep = false;
    }
    std::vector<uint8_t> ack(pn532::AckFrame, pn532::AckFrame + 6);
    std::vector<uint8_t> answer;
    bool syntaxError = false;
    const bool answered = execute(frame.data, nowMs, answer, syntaxError);
    std::vector<uint8_t> response;
    if (syntaxError) {
        response.assign(pn532::SyntaxErrorFrame, pn532::SyntaxErrorFrame + 8);
    } else if (answered) {
        std::vector<uint8_t> data{static_cast<uint8_t>(code + 1)};
        data.insert(data.end(), answer.begin(), answer.end());
        response = pn532::encodeFrame(pn532::ChipToHost, data);
    }
    m_LastResponse = response;
    const uint32_t delay = fault && m_Fault.kind == Fault::Kind::DelayedAck ? m_Fault.delayMs : 0;
    if (fault && !response.empty() && m_Fault.kind == Fault::Kind::BadChecksum) {
        response[response.size() - 2] ^= 0x5A;
    }
    if (fault && !response.empty() && m_Fault.kind == Fault::Kind::DroppedByte) {
        response.erase(response.begin() + static_cast<long>(response.size() / 2));
    }
    // A fault on every command damages the answers sent again on a NACK as well.
    if (fault && m_Fault.count == 0 &&
        (m_Fault.kind == Fault::Kind::BadChecksum || m_Fault.kind == Fault::Kind::DroppedByte)) {
        m_LastResponse = response;
    }
    // The ACK and the answer go out together, as libnfc needs the ACK first and promptly.
    ack.insert(ack.end(), response.begin(), response.end());
    outputs.push_back({delay, ack, false, false});
    if (code == 0x16 && answered) {  // PowerDown: asleep after the answer
        m_Asleep = true;
    }
}

Emulator::Target *Emulator::target(uint8_t tg)
{
    const size_t index = static_cast<size_t>(tg & 0x0F);
    if (index == 0 || index > m_Targets.size()) {
        return nullptr;
    }
    return &m_Targets[index - 1];
}

bool Emulator::execute(const std::vector<uint8_t> &command, uint32_t nowMs, std::vector<uint8_t> &answer,
                       bool &syntaxError)
{
    const uint8_t code = command[0];
    const size_t params = command.size() - 1;
    answer.clear();
    switch (code) {
    case 0x00:  // Diagnose
        if (params >= 1 && command[1] == 0x00) {
            answer.assign(command.begin() + 1, command.end());
        } else if (params >= 1 && command[1] == 0x06) {
            // Card presence of the active ISO/IEC 14443-4 target.
            Target *t = target(1);
            const bool present = t != nullptr && !t->deselected && inField(*m_Cards[t->card], nowMs);
            answer.push_back(present ? StatusOk : StatusNoAnswer);
        } else {
            answer.push_back(StatusOk);
        }
        return true;
    case 0x02:
        answer = m_Firmware;
        return true;
    case 0x04:  // GetGeneralStatus
        answer.push_back(m_LastError);
        answer.push_back(0x00);
        answer.push_back(static_cast<uint8_t>(m_Targets.size()));
        for (size_t i = 0; i < m_Targets.size(); ++i) {
            const uint8_t speed = m_Targets[i].brty == 0x02 ? 0x02 : m_Targets[i].brty == 0x01 ? 0x01 : 0x00;
            answer.insert(answer.end(), {static_cast<uint8_t>(i + 1), speed, speed,
                                         static_cast<uint8_t>(m_Targets[i].brty == 0x01 || m_Targets[i].brty == 0x02 ? 0x10 : 0x00)});
        }
        answer.push_back(0x00);
        return true;
    case 0x06:  // ReadRegister, a list of addresses
        if (params == 0 || params % 2 != 0) {
            syntaxError = true;
            return false;
        }
        for (size_t i = 1; i + 1 < command.size(); i += 2) {
            answer.push_back(m_Registers[static_cast<uint16_t>(command[i] << 8 | command[i + 1])]);
        }
        return true;
    case 0x08:  // WriteRegister, a list of (address, value)
        if (params == 0 || params % 3 != 0) {
            syntaxError = true;
            return false;
        }
        for (size_t i = 1; i + 2 < command.size(); i += 3) {
            m_Registers[static_cast<uint16_t>(command[i] << 8 | command[i + 1])] = command[i + 2];
        }
        return true;
    case 0x12:
        if (params != 1) {
            syntaxError = true;
            return false;
        }
        m_Parameters = command[1];
        return true;
    case 0x14:  // SAMConfiguration: the host's first command of a session
        if (params < 1 || params > 3) {
            syntaxError = true;
            return false;
        }
        resetSession(nowMs);
        return true;
    case 0x16:  // PowerDown
        m_Targets.clear();
        answer.push_back(StatusOk);
        return true;
    case 0x32:  // RFConfiguration
        if (params < 2) {
            syntaxError = true;
            return false;
        }
        if (command[1] == 0x01) {
            m_RfOn = (command[2] & 0x01) != 0;
            if (!m_RfOn) {
                m_Targets.clear();
            }
        } else if (command[1] == 0x05 && params >= 4) {
            m_PassiveRetries = command[4];
        }
        return true;
    case 0x40:
        dataExchange(command, nowMs, answer);
        return true;
    case 0x42:
        communicateThru(command, nowMs, answer);
        return true;
    case 0x44:  // InDeselect
    case 0x52:  // InRelease
    case 0x54:  // InSelect
        if (params != 1) {
            syntaxError = true;
            return false;
        }
        if (command[1] == 0x00) {
            if (code == 0x52) {
                m_Targets.clear();
            }
            for (Target &t : m_Targets) {
                t.deselected = code == 0x44;
            }
            answer.push_back(StatusOk);
            return true;
        }
        if (target(command[1]) == nullptr) {
            answer.push_back(StatusNotAcceptable);
            return true;
        }
        if (code == 0x52) {
            m_Targets.erase(m_Targets.begin() + ((command[1] & 0x0F) - 1));
        } else {
            Target &t = *target(command[1]);
            if (code == 0x54) {
                m_Cards[t.card]->reset();
            }
            t.deselected = code == 0x44;
        }
        answer.push_back(StatusOk);
        return true;
    case 0x4A:
        if (params < 2) {
            syntaxError = true;
            return false;
        }
        return listTargets(command, nowMs, answer);
    case 0x60:
        if (params < 3) {
            syntaxError = true;
            return false;
        }
        return autoPoll(command, nowMs, answer);
    default:
        syntaxError = true;
        return false;
    }
}

bool Emulator::matchesModulation(const Card &card, uint8_t brty, const std::vector<uint8_t> &initiator) const
{
    const sim::CardKind kind = card.description.kind;
    switch (brty) {
    case 0x00:
        return kind == sim::CardKind::TypeA;
    case 0x03:
        return kind == sim::CardKind::TypeB;
    case 0x01:
    case 0x02: {
        if (!isFelica(kind)) {
            return false;
        }
        // Polling payload: 00, system code, request code, time slot.
        if (initiator.size() < 5) {
            return true;
        }
        const bool wildcard = initiator[1] == 0xFF && initiator[2] == 0xFF;
        return wildcard || (card.description.rd.size() >= 2 && initiator[1] == card.description.rd[0] &&
                            initiator[2] == card.description.rd[1]);
    }
    default:
        return false;
    }
}

std::vector<uint8_t> Emulator::targetData(const Card &card, uint8_t tg, uint8_t brty) const
{
    const sim::CardDescription &d = card.description;
    std::vector<uint8_t> out{tg};
    if (d.kind == sim::CardKind::TypeA) {
        out.push_back(static_cast<uint8_t>(d.sensRes >> 8));
        out.push_back(static_cast<uint8_t>(d.sensRes));
        out.push_back(d.selRes);
        out.push_back(static_cast<uint8_t>(d.nfcid1.size()));
        out.insert(out.end(), d.nfcid1.begin(), d.nfcid1.end());
        // Automatic RATS (SetParameters bit 4) for an ISO/IEC 14443-4 card.
        if ((d.selRes & 0x20) != 0 && (m_Parameters & 0x10) != 0) {
            if (d.ats.empty() || d.ats[0] != d.ats.size()) {
                out.push_back(static_cast<uint8_t>(d.ats.size() + 1));
            }
            out.insert(out.end(), d.ats.begin(), d.ats.end());
        }
    } else if (d.kind == sim::CardKind::TypeB) {
        out.insert(out.end(), d.atqb.begin(), d.atqb.end());
        out.push_back(static_cast<uint8_t>(d.attrib.size()));
        out.insert(out.end(), d.attrib.begin(), d.attrib.end());
    } else {
        (void)brty;
        out.push_back(static_cast<uint8_t>(18 + d.rd.size()));
        out.push_back(0x01);
        out.insert(out.end(), d.nfcid2.begin(), d.nfcid2.end());
        out.insert(out.end(), d.pad.begin(), d.pad.end());
        out.insert(out.end(), d.rd.begin(), d.rd.end());
    }
    return out;
}

bool Emulator::listTargets(const std::vector<uint8_t> &command, uint32_t nowMs, std::vector<uint8_t> &answer)
{
    const uint8_t maxTg = command[1];
    const uint8_t brty = command[2];
    const std::vector<uint8_t> initiator(command.begin() + 3, command.end());
    if (maxTg < 1 || maxTg > 2 || brty > 0x04) {
        answer.push_back(0x00);
        return true;
    }
    m_Targets.clear();
    std::vector<uint8_t> data;
    for (size_t i = 0; i < m_Cards.size() && m_Targets.size() < maxTg; ++i) {
        Card &card = *m_Cards[i];
        if (!m_RfOn || !inField(card, nowMs) || !matchesModulation(card, brty, initiator)) {
            continue;
        }
        card.reset();
        m_Targets.push_back({static_cast<int>(i), brty, false});
        const std::vector<uint8_t> one = targetData(card, static_cast<uint8_t>(m_Targets.size()), brty);
        data.insert(data.end(), one.begin(), one.end());
    }
    if (m_Targets.empty() && m_PassiveRetries == 0xFF) {
        return false;  // endless retries: busy until a card comes or the host aborts
    }
    answer.push_back(static_cast<uint8_t>(m_Targets.size()));
    answer.insert(answer.end(), data.begin(), data.end());
    return true;
}

bool Emulator::autoPoll(const std::vector<uint8_t> &command, uint32_t nowMs, std::vector<uint8_t> &answer)
{
    const uint8_t pollNr = command[1];
    m_Targets.clear();
    for (size_t t = 3; t < command.size(); ++t) {
        const uint8_t type = command[t];
        uint8_t brty;
        switch (type) {
        case 0x00: case 0x10: case 0x20: brty = 0x00; break;
        case 0x01: case 0x11: brty = 0x01; break;
        case 0x02: case 0x12: brty = 0x02; break;
        case 0x03: case 0x23: brty = 0x03; break;
        default: continue;
        }
        for (size_t i = 0; i < m_Cards.size(); ++i) {
            Card &card = *m_Cards[i];
            if (!m_RfOn || !inField(card, nowMs) || !matchesModulation(card, brty, {}) ||
                (type == 0x20 && (card.description.selRes & 0x20) == 0)) {
                continue;
            }
            card.reset();
            m_Targets.push_back({static_cast<int>(i), brty, false});
            const std::vector<uint8_t> data = targetData(card, 1, brty);
            answer = {0x01, type, static_cast<uint8_t>(data.size())};
            answer.insert(answer.end(), data.begin(), data.end());
            return true;
        }
    }
    if (pollNr == 0xFF) {
        return false;
    }
    answer.push_back(0x00);
    return true;
}

bool Emulator::type2Answer(sim::SimType2Tag &tag, const std::vector<uint8_t> &data, bool thru,
                           std::vector<uint8_t> &response, uint8_t &status)
{
    const size_t compatibilityWriteLength = 2 + 16;
    if (!thru && data.size() == compatibilityWriteLength && data[0] == 0xA0) {
        // The chip runs both phases of COMPATIBILITY_WRITE: the command, then its 16 bytes.
        if (!tag.answer(data.data(), 2, response)) {
            return false;
        }
        if (response.size() == 1 && response[0] == sim::SimType2Tag::Ack &&
            !tag.answer(data.data() + 2, data.size() - 2, response)) {
            return false;
        }
    } else if (!tag.answer(data.data(), data.size(), response)) {
        return false;
    }
    // A 4-bit answer is ACK (0A) or NAK (any other value).
    if (!thru && response.size() == 1 && response[0] != sim::SimType2Tag::Ack) {
        response.clear();
        status = StatusInvalidFrame;
    }
    return true;
}

bool Emulator::cardAnswer(Card &card, const std::vector<uint8_t> &data, std::vector<uint8_t> &response,
                          uint8_t &status)
{
    status = StatusOk;
    if (card.type2) {
        return type2Answer(*card.type2, data, false, response, status);
    }
    if (card.type4) {
        response = card.type4->answer(data.data(), data.size());
        return true;
    }
    // FeliCa Request Response: the card is in mode 0.
    const std::vector<uint8_t> &idm = card.description.nfcid2;
    if (data.size() == 10 && data[0] == 10 && data[1] == 0x04 && std::equal(idm.begin(), idm.end(), data.begin() + 2)) {
        response = {11, 0x05};
        response.insert(response.end(), idm.begin(), idm.end());
        response.push_back(0x00);
        return true;
    }
    return card.type3->answer(data.data(), data.size(), response);
}

void Emulator::dataExchange(const std::vector<uint8_t> &command, uint32_t nowMs, std::vector<uint8_t> &answer)
{
    if (command.size() < 2) {
        answer.push_back(StatusNotAcceptable);
        return;
    }
    const uint8_t tg = command[1];
    Target *t = target(tg);
    if (t == nullptr || t->deselected) {
        m_ChainedCommand.clear();
        answer.push_back(StatusNotAcceptable);
        return;
    }
    // The rest of an answer that did not fit: the host asks with the target byte alone.
    if (command.size() == 2 && !m_PendingAnswer.empty()) {
        const size_t piece = m_PendingAnswer.size() < MaximumDataIn ? m_PendingAnswer.size() : MaximumDataIn;
        answer.push_back(piece < m_PendingAnswer.size() ? StatusMoreInformation : StatusOk);
        answer.insert(answer.end(), m_PendingAnswer.begin(), m_PendingAnswer.begin() + static_cast<long>(piece));
        m_PendingAnswer.erase(m_PendingAnswer.begin(), m_PendingAnswer.begin() + static_cast<long>(piece));
        return;
    }
    m_PendingAnswer.clear();
    m_ChainedCommand.insert(m_ChainedCommand.end(), command.begin() + 2, command.end());
    if ((tg & 0x40) != 0) {
        answer.push_back(StatusOk);  // more pieces follow
        return;
    }
    const std::vector<uint8_t> whole = m_ChainedCommand;
    m_ChainedCommand.clear();
    Card &card = *m_Cards[t->card];
    std::vector<uint8_t> response;
    uint8_t status = StatusOk;
    if (!inField(card, nowMs) || !cardAnswer(card, whole, response, status)) {
        answer.push_back(StatusNoAnswer);
        return;
    }
    if (status != StatusOk) {
        answer.push_back(status);
        return;
    }
    if (card.type2 && response.size() > MaximumDataIn) {
        answer.push_back(StatusBufferOverflow);  // no chaining without ISO/IEC 14443-4
        return;
    }
    const size_t piece = response.size() < MaximumDataIn ? response.size() : MaximumDataIn;
    answer.push_back(piece < response.size() ? StatusMoreInformation : StatusOk);
    answer.insert(answer.end(), response.begin(), response.begin() + static_cast<long>(piece));
    m_PendingAnswer.assign(response.begin() + static_cast<long>(piece), response.end());
}

void Emulator::communicateThru(const std::vector<uint8_t> &command, uint32_t nowMs, std::vector<uint8_t> &answer)
{
    Target *t = target(1);
    // A Type 2 Tag takes its raw commands. With the CRC switched off in TxMode the host has
    // appended it (a frame whose CRC is wrong goes unanswered); switched off in RxMode, the tag's
    // CRC is handed on after its data (a 4-bit ACK / NAK has none).
    if (t != nullptr && !t->deselected && m_Cards[t->card]->type2 && command.size() >= 2) {
        Card &card = *m_Cards[t->card];
        std::vector<uint8_t> frame(command.begin() + 1, command.end());
        if ((m_Registers[RegisterTxMode] & CrcEnable) == 0) {
            std::vector<uint8_t> crc;
            if (frame.size() > 2) {
                appendCrcA(frame.data(), frame.size() - 2, crc);
            }
            if (crc.empty() || !std::equal(crc.begin(), crc.end(), frame.end() - 2)) {
                answer.push_back(StatusNoAnswer);
                return;
            }
            frame.resize(frame.size() - 2);
        }
        std::vector<uint8_t> response;
        uint8_t status = StatusOk;
        if (!inField(card, nowMs) || !type2Answer(*card.type2, frame, true, response, status)) {
            answer.push_back(StatusNoAnswer);
            return;
        }
        if (response.size() > 1 && (m_Registers[RegisterRxMode] & CrcEnable) == 0) {
            appendCrcA(response.data(), response.size(), response);
        }
        if (response.size() > MaximumDataIn) {
            answer.push_back(StatusBufferOverflow);
            return;
        }
        answer.push_back(status);
        answer.insert(answer.end(), response.begin(), response.end());
        return;
    }
    // Presence pings of 14443-4 hosts: R(NAK) blocks, answered with R(ACK).
    if (t != nullptr && !t->deselected && inField(*m_Cards[t->card], nowMs) && command.size() >= 2) {
        const uint8_t pcb = command[1];
        const bool withCid = (pcb & 0x08) != 0;
        if ((pcb & 0xF6) == 0xB2 && command.size() == (withCid ? 3u : 2u)) {
            answer = {StatusOk, static_cast<uint8_t>((pcb & ~0x10) | 0x00)};
            answer[1] = static_cast<uint8_t>(0xA2 | (pcb & 0x09));
            if (withCid) {
                answer.push_back(command[2]);
            }
            return;
        }
    }
    answer.push_back(StatusNoAnswer);
}

}  // namespace pn532emu
