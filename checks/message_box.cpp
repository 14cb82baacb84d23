#include "checks/message_box.h"

#include "checks/test_seams.h"

namespace Vardok {

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned type) {
  return TestSeams::messageBoxFunction()(text, caption, type);
}

}  // namespace Vardok
