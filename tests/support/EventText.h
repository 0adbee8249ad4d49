// What the event-mode tests compare: each window message and each queued event as one line of
// text ("found ...", "lost 00000001", "error 80C00051 00000001", "enabled ...", "waiting ..."),
// so that the window's order and the queue's order read alike. How a target record reads is the
// test's own (`target`).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace korvat_test {

using TargetText = std::function<std::string(const std::vector<uint8_t> &record)>;

std::string hex32(uint32_t value);
std::string describeMessage(const MessageWindow &window, const ReceivedMessage &m, const TargetText &target);
std::string describeEvent(const KORVAT_NFC_EVENT &e, const TargetText &target);

}  // namespace korvat_test
