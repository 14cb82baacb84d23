// The plug-in's own texts. Sources are UTF-8; the compiler stores them as
// Windows-1250 bytes, which is what the host shows.
#pragma once

namespace Vardok::Texts {

extern const char kMigrated[];          // log line of the network migration (%d: row index)
extern const char kFailedName[];        // notification kind of a failed check
extern const char kFailedDescription[];
extern const char kCriticalName[];      // notification kind of a critical check
extern const char kCriticalDescription[];

// Runs and their reports.
extern const char kBadCommand[];
extern const char kPipeFailed[];
extern const char kResultLog[];
extern const char kInfoOk[];
extern const char kInfoProblem[];
extern const char kNotifyOk[];
extern const char kNotifyProblem[];
extern const char kOverdueStatus[];     // status text of an overdue run (%u: seconds it has run)
extern const char kOverdueLog[];        // its log line (%u contact, %s command, %u limit in seconds)
extern const char kNoJob[];             // log line, once: children cannot be put in a job
extern const char kBehindLog[];         // log line: the queue is behind (%u seconds, %u runs waiting)
// A run that cannot start: its status text (%u seconds it has waited, %s
// the reason), the reasons, and its log line (%u contact, %u seconds, %s reason).
extern const char kStarvedStatus[];
extern const char kStarvedBusy[];
extern const char kStarvedCeiling[];
extern const char kStarvedNoThread[];
extern const char kStarvedLog[];
extern const char kThreadsRefusedLog[];  // log line: no worker can start (%u requests wait)
extern const char kRemovalWaitLog[];     // log line: a removed contact's run kept a host call (%u contact)
// A run ended by a failure of its own (%s: the reason), and the reason
// when memory ran out.
extern const char kRunFailedOutput[];
extern const char kOutOfMemory[];
extern const char kOutputCutNoMemory[]; // ends an output that could not grow for want of memory
// The HTTP check's boxes, when the failure has no words of its own.
extern const char kFailedSend[];
extern const char kBadUrl[];
extern const char kCantConnect[];
extern const char kBadRequest[];

// The settings page and the contact menu.
extern const char kPageDescription[];
extern const char kCredit[];
extern const char kCommandCaption[];
extern const char kCommandTip[];
extern const char kIntervalCaption[];
extern const char kEnabledCaption[];
extern const char kCheckButton[];
extern const char kGroupTitle[];
extern const char kRefresh[];

}  // namespace Vardok::Texts
