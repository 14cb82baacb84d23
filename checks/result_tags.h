// What a finished run's result means to the host: the tags it printed
// (read by the result protocol's reader), the numbers in them and the
// status byte of its exit code. Platform-free; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "hostapi/protocol.h"
#include "protocol/result_protocol.h"

namespace Vardok {

// An integer with an optional '-' and, for base 255 (automatic), an
// optional '#' or "0x" prefix for hexadecimal; other bases are used as
// given. Reads like a 32-bit strtoul: leading white space skipped, stops at
// the first non-digit, 0 when there is none; the result wraps to 32 bits.
int32_t parseNumber(const std::string& text, int base);

// The status byte of an exit code's class: 0 all well, 0x41 a problem,
// 0x40 critical.
uint8_t statusOf(int32_t exitCode);

}  // namespace Vardok
