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
extern const char kRunFailedOutput[];   // status text of a run that failed inside the plug-in (%s: why)
extern const char kOutOfMemory[];       // why, when memory ran out
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
