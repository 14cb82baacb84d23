// Parameters carried in the texts of the host's interface items.
//
// After the visible text an item text may carry parameters: character 26,
// a key, '=' and a value, up to the next parameter. A character below 8, or
// 26, ends the visible text. Character 4, when present, marks where the
// visible text ends for SetParam: keys are searched only after it. The
// grammar, and the hosts' reading of it, is hostapi/item_text.h.
#pragma once

#include <string>

#include "hostapi/protocol.h"

namespace Vardok {

// Sets key (with its leading character 26 and trailing '=') to value.
// A key starting with 26 that is already there gets the new pair written
// in front of the old one; the old pair stays behind it, and the host reads
// the first. A missing key is appended. An empty key replaces the visible
// text and keeps the parameters.
std::string SetParam(const std::string& text, const std::string& key, const std::string& value);

// Non-empty key: whether the key occurs anywhere in text. Empty key: whether
// the text is empty or starts with a visible character.
bool HasParam(const std::string& text, const std::string& key);

}  // namespace Vardok
