#include "checks/message_box.h"

#include "checks/run_queue.h"
#include "checks/test_seams.h"

namespace Vardok {

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned type) {
  // A box waits for a person: meanwhile the run leaves its place in the
  // queue's bound to the other checks.
  runQueue().releaseCurrentRun();
  return TestSeams::messageBoxFunction()(text, caption, type);
}

}  // namespace Vardok
