#include "EventText.h"

#include <cstdio>
#include <cstring>

namespace korvat_test {

std::string hex32(uint32_t value)
{
    char text[12];
    std::snprintf(text, sizeof(text), "%08X", value);
    return text;
}

std::string describeMessage(const MessageWindow &window, const ReceivedMessage &m, const TargetText &target)
{
    if (m.message == window.findMessage() && m.wParam == KORVAT_NFC_FIND_TARGET) {
        return target(m.bytes);
    }
    if (m.message == window.findMessage() && m.wParam == KORVAT_NFC_LOST_TARGET) {
        return "lost " + hex32(static_cast<uint32_t>(m.lParam));
    }
    if (m.message == window.findMessage() && m.wParam == KORVAT_NFC_FIND_ERROR && m.bytes.size() == 8) {
        uint32_t pair[2];
        std::memcpy(pair, m.bytes.data(), 8);
        return "error " + hex32(pair[0]) + " " + hex32(pair[1]);
    }
    if (m.message == window.enableMessage()) {
        return (m.wParam == ENABLE_ACCESS_TO_TARGET ? "enabled " : "waiting ") + hex32(static_cast<uint32_t>(m.lParam));
    }
    return "unexpected message wParam " + std::to_string(m.wParam);
}

std::string describeEvent(const KORVAT_NFC_EVENT &e, const TargetText &target)
{
    switch (e.kind) {
    case KORVAT_NFC_EVENT_TARGET_FOUND:
        return target(std::vector<uint8_t>(e.data, e.data + (e.data_size <= sizeof e.data ? e.data_size : 0)));
    case KORVAT_NFC_EVENT_TARGET_LOST:
        return "lost " + hex32(e.target_number);
    case KORVAT_NFC_EVENT_ERROR:
        return "error " + hex32(e.error_code) + " " + hex32(e.detail_code);
    case KORVAT_NFC_EVENT_ACCESS_ENABLED:
        return "enabled " + hex32(e.target_number);
    case KORVAT_NFC_EVENT_ACCESS_WAITING:
        return "waiting " + hex32(e.target_number);
    default:
        return "unexpected event kind " + std::to_string(e.kind);
    }
}

}  // namespace korvat_test
