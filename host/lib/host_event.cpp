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

void copyText(HostEvent& event, const char* text) {
  event.hasText = text != nullptr;
  if (text) event.text = text;
}

// The message as its struct, when it is that long; else null.
template <typename Record>
const Record* asRecord(const HostMessage* message) {
  return message->size >= sizeof(Record) ? reinterpret_cast<const Record*>(message) : nullptr;
}

// Copies what the message points to, while the plug-in keeps it alive.
void describe(const HostMessage* message, HostEvent& event) {
  const HostMessage* head = asRecord<HostMessage>(message);
  const char* p1 = head ? reinterpret_cast<const char*>(head->p1) : nullptr;
  switch (message->id) {
    case HM_LOG:
    case HM_NOTIFY_RAISE:
      copyText(event, p1);
      break;
    case HM_SET_STATUS:
      if (const auto* status = asRecord<StatusMessage>(message)) copyText(event, status->text);
      break;
    case HM_NOTIFY_SHOW:
      if (const auto* show = asRecord<NotifyShow>(message)) copyText(event, show->text);
      break;
    case HM_NOTIFY_DEFINE:
      if (const auto* define = asRecord<NotifyDefine>(message)) {
        copyText(event, define->name);
        if (define->description) event.text2 = define->description;
      }
      break;
    case HM_COLUMN_REGISTER:
      if (const auto* reg = asRecord<ColumnRegister>(message)) copyText(event, reg->name);
      break;
    case HM_UI_INSERT:
    case HM_UI_GET_VALUE:
    case HM_UI_SET_STATE:
      if (const auto* item = reinterpret_cast<const UiItem*>(p1)) {
        event.payload = copyBytes(item, std::min<size_t>(item->size, sizeof(UiItemWide)));
        if (item->size >= offsetof(UiItem, text) + sizeof item->text) copyText(event, item->text);
      }
      break;
    case HM_ICON_REGISTER:
      if (p1) event.payload = copyBytes(p1, sizeof(IconRecord));
      break;
    case HM_UI_CALL:
      if (p1) event.payload = copyBytes(p1, sizeof(ActionEvent));
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
