// What the plug-in did to the host, as the test host records it: one
// HostEvent per message, column write or ReportNotHandled, with the bytes
// of the record and copies of the texts it pointed to. The records are
// read through their structs (recordAs, payloadAs); what a host shows of
// them is decoded once more, into types, by plugin_event.h. The offset
// readers (i32, ...) are for the tests that hold the bytes against the
// documented layout.
//
// Plain values; any thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
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

  // The record, or the record p1 points to, as its struct: bytes past what
  // was recorded read as zero.
  template <typename Record>
  Record recordAs() const { return copiedAs<Record>(record); }
  template <typename Record>
  Record payloadAs() const { return copiedAs<Record>(payload); }
  int32_t p1() const { return recordAs<Vardok::HostMessage>().p1; }
  int32_t p2() const { return recordAs<Vardok::HostMessage>().p2; }

  int32_t i32(size_t offset) const;
  int16_t i16(size_t offset) const;
  uint16_t u16(size_t offset) const;
  uint8_t u8(size_t offset) const;
  int32_t payloadI32(size_t offset) const;
  int16_t payloadI16(size_t offset) const;

 private:
  template <typename Record>
  static Record copiedAs(const std::vector<uint8_t>& bytes) {
    Record value{};
    std::memcpy(&value, bytes.data(), std::min(sizeof value, bytes.size()));
    return value;
  }
};

// An interface item the plug-in inserted (HM_UI_INSERT): its record, with
// the text pointer cleared (the plug-in's memory), and a copy of its text.
struct UiItemCopy {
  Vardok::UiItem item{};
  bool hasText = false;
  std::string text;
};

// A message event stamped with the calling thread and the time, holding
// the message's bytes and what it points to (copied now, while the
// plug-in keeps it alive).
HostEvent messageEvent(const Vardok::HostMessage* message);

}  // namespace VardokHost
