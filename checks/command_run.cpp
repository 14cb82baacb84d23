// The command run: a child process in a job object of its own, whose
// standard output and standard error reach the check through one pipe and
// whose standard input is the NUL device (Quorlin::ChildProcess).
#include <atomic>
#include <string>

#include "checks/item.h"
#include "checks/output_text.h"
#include "checks/run_control.h"
#include "checks/test_seams.h"
#include "hostapi/host.h"
#include "hostapi/messages.h"
#include "hostapi/texts.h"
#include "support/threads/child_process.h"
#include "support/win32_error.h"

namespace Vardok {

namespace {

// After the child has exited while a descendant of its own still holds
// the pipe: how long to wait for output that is still on its way.
constexpr DWORD kDrainMs = 200;

void logNoJobOnce() {
  static std::atomic<bool> logged{false};
  if (!logged.exchange(true)) Log("%s", Texts::kNoJob);
}

}  // namespace

int Item::runCommand(const std::string& commandLine, std::string& output, RunControl& run) {
  const TestSeams::PlatformCalls& platform = TestSeams::platformCalls();
  Quorlin::ChildOptions options;
  options.keep = kMaxOutput;
  options.drainMs = kDrainMs;
  options.creationFlags = CREATE_NO_WINDOW;
  options.createPipe = platform.createOutputPipe;
  options.createProcess = platform.createProcess;
  Quorlin::ChildProcess::Failure failure;
  DWORD error;
  const std::unique_ptr<Quorlin::ChildProcess> child =
      Quorlin::ChildProcess::start(commandLine, options, &failure, &error);
  if (!child) {
    if (failure == Quorlin::ChildProcess::Failure::Pipe) {
      LogIf(kLogError, "%s", Texts::kPipeFailed);
      Quorlin::reportFailure("CreateNamedPipeA", error);
      return -1;
    }
    // The bad-command box and the failed check are this failure's report;
    // the failure log is for failures nobody is told of otherwise.
    run.showBox(Texts::kBadCommand, kPluginName, MB_ICONERROR);
    return -1;
  }
  if (!child->job()) logNoJobOnce();
  if (!run.holdProcesses(child->job(), child->process())) {
    child->endTree(1);  // stopped before it began
    return -1;
  }
  child->resume();
  run.waiting();
  child->read();
  run.releaseProcesses();
  // A run that ends by itself leaves what its processes started running;
  // one that was stopped takes it all with it as the job closes.
  if (!run.stopped()) child->keepDescendants();
  appendOutput(output, child->takeOutput(), child->outputCut());
  return static_cast<int>(child->exitCode());
}

}  // namespace Vardok
