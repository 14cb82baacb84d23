#include "host/lib/host_event.h"

#include <algorithm>
#include <cstring>

#include "hostapi/messages.h"

namespace VardokHost {

using namespace Vardok;

namespace {

template <typename T>
T readAt(const std::vector<uint8_t>& bytes, size_t offset) {
  T value{};
  if (offset + sizeof(T) <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

std::vector<uint8_t> copyBytes(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(bytes, bytes + size);
}

const char* pointerAt(const void* record, size_t offset) {
  int32_t value;
  std::memcpy(&value, static_cast<const uint8_t*>(record) + offset, sizeof value);
  return reinterpret_cast<const char*>(value);
}

void copyText(HostEvent& event, const char* text) {
  event.hasText = text != nullptr;
  if (text) event.text = text;
}

// Copies what the message points to, while the plug-in keeps it alive.
void describe(const HostMessage* message, HostEvent& event) {
  const size_t size = message->size;
  auto pointer = [&](size_t offset) -> const char* {
    return size >= offset + 4 ? pointerAt(message, offset) : nullptr;
  };
  switch (message->id) {
    case HM_LOG:
    case HM_NOTIFY_RAISE:
      copyText(event, pointer(22));
      break;
    case HM_SET_STATUS:
      copyText(event, pointer(30));
      break;
    case HM_NOTIFY_SHOW:
      copyText(event, pointer(24));
      break;
    case HM_NOTIFY_DEFINE:
      copyText(event, pointer(28));
      if (const char* description = pointer(32)) event.text2 = description;
      break;
    case HM_COLUMN_REGISTER:
      copyText(event, pointer(35));
      break;
    case HM_UI_INSERT:
    case HM_UI_GET_VALUE:
    case HM_UI_SET_STATE:
      if (const auto* item = reinterpret_cast<const uint8_t*>(pointer(22))) {
        uint16_t itemSize;
        std::memcpy(&itemSize, item, sizeof itemSize);
        event.payload = copyBytes(item, std::min<size_t>(itemSize, sizeof(UiItemWide)));
        if (itemSize >= 54) copyText(event, pointerAt(item, 50));
      }
      break;
    case HM_ICON_REGISTER:
      if (const char* icon = pointer(22)) event.payload = copyBytes(icon, sizeof(IconRecord));
      break;
    case HM_UI_CALL:
      if (const char* action = pointer(22)) event.payload = copyBytes(action, sizeof(ActionEvent));
      break;
    default:
      break;
  }
}

}  // namespace

int32_t HostEvent::i32(size_t offset) const { return readAt<int32_t>(record, offset); }
int16_t HostEvent::i16(size_t offset) const { return readAt<int16_t>(record, offset); }
uint16_t HostEvent::u16(size_t offset) const { return readAt<uint16_t>(record, offset); }
uint8_t HostEvent::u8(size_t offset) const { return readAt<uint8_t>(record, offset); }
int32_t HostEvent::payloadI32(size_t offset) const { return readAt<int32_t>(payload, offset); }
int16_t HostEvent::payloadI16(size_t offset) const { return readAt<int16_t>(payload, offset); }
int32_t UiItemCopy::i32(size_t offset) const { return readAt<int32_t>(record, offset); }
int16_t UiItemCopy::i16(size_t offset) const { return readAt<int16_t>(record, offset); }

HostEvent messageEvent(const HostMessage* message) {
  HostEvent event;
  event.kind = HostEvent::Kind::Message;
  event.thread = GetCurrentThreadId();
  event.time = GetTickCount();
  event.id = message->id;
  event.record = copyBytes(message, message->size);
  describe(message, event);
  return event;
}

}  // namespace VardokHost
