// The checks of the pointer arguments that the reader plug-ins' gp_read and gp_get_driver_status
// make alike, and the handing out of gp_read's answer. Each plug-in reports a fault with its own
// invalid-argument code and the detail given here.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace korvat_plugin {

// gp_read's arguments, with the command's length already cut to its low 16 bits: 0 when they are
// usable, else the detail of the first that is not (1 command, 2 its length, 3 answer buffer,
// 4 answer length).
inline uint32_t readArgumentFault(const uint8_t *command, uint16_t length, const uint8_t *response,
                                  const uint16_t *responseLength)
{
    if (command == nullptr) {
        return 1;
    }
    if (length == 0) {
        return 2;
    }
    if (response == nullptr) {
        return 3;
    }
    return responseLength == nullptr ? 4 : 0;
}

// The answer of an exchange (at most the plug-in's largest answer, well within 16 bits) into
// gp_read's outputs.
inline void handOutAnswer(const std::vector<uint8_t> &answer, uint8_t *response, uint16_t *responseLength)
{
    if (!answer.empty()) {
        std::memcpy(response, answer.data(), answer.size());
    }
    *responseLength = static_cast<uint16_t>(answer.size());
}

// gp_get_driver_status's outputs: 0 when all are given, else the position of the first null one
// (1 to 5).
inline uint32_t driverStatusArgumentFault(const uint32_t *driverStatus, const uint32_t *pollModeCardType,
                                          const uint32_t *listenModeCardType, const uint32_t *additionalDataSize,
                                          uint8_t *const *additionalData)
{
    const void *const outputs[] = {driverStatus, pollModeCardType, listenModeCardType, additionalDataSize,
                                   additionalData};
    for (uint32_t i = 0; i < 5; ++i) {
        if (outputs[i] == nullptr) {
            return i + 1;
        }
    }
    return 0;
}

}  // namespace korvat_plugin
