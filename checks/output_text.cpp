#include "checks/output_text.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "hostapi/texts.h"
#include "support/text/program_output.h"

namespace Vardok {

std::string decodeOutput(std::string raw) { return Quorlin::narrowOutput(std::move(raw)); }

void appendOutput(std::string& output, std::string more, bool cutForMemory) {
  if (output.empty())
    output = std::move(more);
  else
    output += more;
  if (!cutForMemory) return;
  const size_t markSize = std::strlen(Texts::kOutputCutNoMemory);
  try {
    output.append(Texts::kOutputCutNoMemory, markSize);
  } catch (const std::bad_alloc&) {
    if (output.size() >= markSize)
      std::memcpy(&output[output.size() - markSize], Texts::kOutputCutNoMemory, markSize);
  }
}

}  // namespace Vardok
