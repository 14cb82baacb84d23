// The host's core interface, handed to the plug-in with HM_ATTACH_CORE.
//
// A table of 31 __stdcall entries and nothing else: no data members and no
// virtual destructor, so every Windows C++ compiler lays the table out the
// same way. Unused entries are placeholders that a host answers with 0.
// The host must accept calls from any thread.
#pragma once

#include <windows.h>

#include "hostapi/records.h"

namespace Vardok {

class HostCore {
 public:
  virtual int __stdcall Reserved0() = 0;                                        // 0
  virtual int __stdcall GetPluginId() = 0;                                      // 1
  virtual int __stdcall Reserved2() = 0;                                        // 2
  virtual HINSTANCE __stdcall GetPluginInstance() = 0;                          // 3
  virtual int __stdcall GetHostMode() = 0;                                      // 4
  virtual int __stdcall ReportNotHandled(int code) = 0;                         // 5
  virtual int __stdcall Reserved6() = 0;                                        // 6
  virtual int __stdcall Send(HostMessage* message) = 0;                         // 7
  virtual int __stdcall SendTo(int pluginId, HostMessage* message) = 0;         // 8
  virtual int __stdcall Reserved9() = 0;                                        // 9
  virtual int __stdcall GetRowId(int table, int index) = 0;                     // 10
  virtual int __stdcall Reserved11() = 0;                                       // 11
  virtual int __stdcall Reserved12() = 0;                                       // 12
  virtual int __stdcall Reserved13() = 0;                                       // 13
  virtual int __stdcall Reserved14() = 0;                                       // 14
  virtual int __stdcall Reserved15() = 0;                                       // 15
  virtual int __stdcall Reserved16() = 0;                                       // 16
  virtual int __stdcall Reserved17() = 0;                                       // 17
  virtual int __stdcall Reserved18() = 0;                                       // 18
  virtual int __stdcall Reserved19() = 0;                                       // 19
  virtual int __stdcall Reserved20() = 0;                                       // 20
  virtual int __stdcall GetValue(int table, int row, int column, ColumnValue* value) = 0;  // 21
  virtual int __stdcall SetValue(int table, int row, int column, ColumnValue* value) = 0;  // 22
  virtual int __stdcall Reserved23() = 0;                                       // 23
  virtual int __stdcall Reserved24() = 0;                                       // 24
  virtual int __stdcall Reserved25() = 0;                                       // 25
  virtual int __stdcall Reserved26() = 0;                                       // 26
  virtual int __stdcall Reserved27() = 0;                                       // 27
  virtual int __stdcall Reserved28() = 0;                                       // 28
  virtual int __stdcall Reserved29() = 0;                                       // 29
  virtual int __stdcall IsLogLevelOn(int level) = 0;                            // 30

 protected:
  ~HostCore() = default;
};

}  // namespace Vardok
