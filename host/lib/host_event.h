// What the plug-in did to the host, as the test host records it: one
// HostEvent per message, column write or ReportNotHandled, with the bytes
// of the record and copies of the texts it pointed to.
//
// Plain values; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

#include "hostapi/records.h"

namespace VardokHost {

struct HostEvent {
  enum class Kind { Message, ColumnWrite, NotHandled };

  Kind kind = Kind::Message;
  uint64_t sequence = 0;
  DWORD thread = 0;
  DWORD time = 0;      // GetTickCount when it happened
  int64_t ticks = 0;   // QueryPerformanceCounter when it happened

  // A message: its bytes, as many as its size field states.
  uint32_t id = 0;
  std::vector<uint8_t> record;
  // The record that p1 points to (interface items, icon records, events).
  std::vector<uint8_t> payload;
  // The texts the message points to, copied while the send was in progress.
  bool hasText = false;
  std::string text;
  std::string text2;
  int answer = 0;

  // A column write.
  int row = 0;  // row id
  int column = 0;
  bool isText = false;
  int value = 0;

  int32_t i32(size_t offset) const;
  int16_t i16(size_t offset) const;
  uint16_t u16(size_t offset) const;
  uint8_t u8(size_t offset) const;
  int32_t payloadI32(size_t offset) const;
  int16_t payloadI16(size_t offset) const;
};

// An interface item the plug-in inserted (HM_UI_INSERT).
struct UiItemCopy {
  std::vector<uint8_t> record;
  bool hasText = false;
  std::string text;
  int32_t i32(size_t offset) const;
  int16_t i16(size_t offset) const;
};

// A message event stamped with the calling thread and the time, holding
// the message's bytes and what it points to (copied now, while the
// plug-in keeps it alive).
HostEvent messageEvent(const Vardok::HostMessage* message);

}  // namespace VardokHost
