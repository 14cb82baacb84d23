// Every binary record that crosses the boundary to the host.
//
// All records are packed and little-endian, laid out for the 32-bit host:
// pointers and handles are 4 bytes. Each field carries the byte offset the
// host expects; the static_asserts below pin the layout, and the tests read
// the records back at those offsets byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include <windows.h>

static_assert(sizeof(void*) == 4, "the host interface is 32-bit only");

namespace Vardok {

#pragma pack(push, 1)

// The header of every host message, and the whole 30-byte message.
struct HostMessage {
  uint16_t size;         // 0: bytes in the record (30 unless a message says otherwise)
  uint32_t id;           // 2: message id (HM_...)
  int32_t routeNet;      // 6
  int32_t routeType;     // 10: 3 for notifications, 774 for the pop-up service
  int32_t routeTarget;   // 14: 8 for notifications, -1 for the pop-up service
  int32_t routeFlags;    // 18
  int32_t p1;            // 22: integer or pointer
  int32_t p2;            // 26: integer or pointer
};

// HM_CONTACT_CHANGED carries a third parameter.
struct HostMessage3 {
  HostMessage head;      // 0
  int32_t p3;            // 30: the contact's previous network
};

// One contact column value, read or written through GetValue / SetValue.
struct ColumnValue {
  uint16_t kind;         // 0: kColumnInt or kColumnText
  int32_t value;         // 2: the integer, or a text pointer
  int32_t bufferSize;    // 6: 0 = no buffer; the host hands out its own copy
};

// An event on an item of the host's interface tree (HM_ACTION, HM_UI_CALL).
struct ActionEvent {
  uint16_t size;         // 0: 30 when the plug-in builds it
  int32_t id;            // 2: the item acted on
  int32_t parent;        // 6: the item's parent group
  int32_t contact;       // 10: the contact whose window or menu shows the item
  int32_t code;          // 14: 1 = activated; 10 and 17 are queries
  int32_t reserved[3];   // 18, 22, 26: zero
};


// HM_NOTIFY_DEFINE: one notification kind.
struct NotifyDefine {
  uint16_t size;         // 0: 44
  uint32_t id;           // 2: HM_NOTIFY_DEFINE
  int32_t routeNet;      // 6: 0
  int32_t routeType;     // 10: 3
  int32_t routeTarget;   // 14: 8
  int32_t routeFlags;    // 18: 0
  uint16_t gap;          // 22: zero
  int32_t minusOne;      // 24: -1
  const char* name;      // 28: notification name ("vardokFailed")
  const char* description; // 32: text shown to the user
  int32_t one;           // 36: 1
  int32_t zero;          // 40: 0
};

// HM_SET_STATUS: the contact's status and status text.
struct StatusMessage {
  uint16_t size;         // 0: 34
  uint32_t id;           // 2: HM_SET_STATUS
  int32_t routeNet;      // 6
  int32_t routeType;     // 10
  int32_t routeTarget;   // 14
  int32_t routeFlags;    // 18
  int32_t contact;       // 22: p1
  int32_t status;        // 26: p2, the host keeps the low byte
  const char* text;      // 30: status text
};

// HM_NOTIFY_SHOW, sent to the pop-up service (route 774 / -1).
struct NotifyShow {
  uint16_t size;         // 0: 52
  uint32_t id;           // 2: HM_NOTIFY_SHOW
  int32_t routeNet;      // 6: 0
  int32_t routeType;     // 10: 774
  int32_t routeTarget;   // 14: -1
  int32_t routeFlags;    // 18: 0
  uint16_t gap1;         // 22: alignment gap
  const char* text;      // 24: pop-up text, valid until the send returns
  uint8_t okFlag;        // 28: 0x10 when the exit code is 0
  uint8_t wellFlag;      // 29: 1 when the status is 0
  uint8_t zero;          // 30: 0
  uint8_t gap2;          // 31: alignment gap
  uint32_t iconId;       // 32: the status icon
  int32_t zero1;         // 36: 0
  int32_t zero2;         // 40: 0
  int32_t minusTwo;      // 44: -2
  int32_t zero3;         // 48: 0
};

// HM_COLUMN_REGISTER: one contact column.
struct ColumnRegister {
  uint16_t size;         // 0: 39
  uint32_t id;           // 2: HM_COLUMN_REGISTER
  int32_t routeNet;      // 6
  int32_t routeType;     // 10
  int32_t routeTarget;   // 14
  int32_t routeFlags;    // 18
  uint8_t table;         // 22: 1 = contacts
  int32_t column;        // 23: -1 = the host assigns one
  int32_t type;          // 27: 0 integer, 1 text
  int32_t defaultValue;  // 31
  const char* name;      // 35
};

// The p1 of HM_ICON_REGISTER.
struct IconRecord {
  uint16_t size;         // 0: 36
  uint16_t gap;          // 2: zero
  int32_t iconId;        // 4
  int32_t imageKind;     // 8: 1
  int32_t zero1;         // 12: 0
  int32_t flag;          // 16: 1
  HINSTANCE module;      // 20: the module that holds the icon resource
  int32_t resourceId;    // 24
  int32_t zero2;         // 28
  int32_t zero3;         // 32
};

// One item of the host's interface tree (HM_UI_INSERT, HM_UI_GET_VALUE,
// HM_UI_SET_STATE). All bytes not named here are zero.
struct UiItem {
  uint16_t size;         // 0: 74, or 78 for the wide form
  int32_t id;            // 2
  int32_t parent;        // 6
  int32_t contact;       // 10
  int32_t code;          // 14
  uint8_t reserved1[12]; // 18..29
  int32_t mask;          // 30
  int32_t kindOrState;   // 34
  int32_t stateMask;     // 38
  uint8_t reserved2[8];  // 42..49
  const char* text;      // 50
  int32_t textSize;      // 54
  uint8_t reserved3[4];  // 58..61
  int32_t param;         // 62: bound column id, or icon id
  uint8_t reserved4[4];  // 66..69
  int16_t width;         // 70
  int16_t height;        // 72
};

struct UiItemWide {
  UiItem item;           // 0
  int16_t wide1;         // 74
  int16_t wide2;         // 76
};

#pragma pack(pop)

static_assert(sizeof(HostMessage) == 30, "HostMessage");
static_assert(offsetof(HostMessage, id) == 2 && offsetof(HostMessage, routeNet) == 6 &&
              offsetof(HostMessage, routeType) == 10 && offsetof(HostMessage, routeTarget) == 14 &&
              offsetof(HostMessage, routeFlags) == 18 && offsetof(HostMessage, p1) == 22 &&
              offsetof(HostMessage, p2) == 26, "HostMessage offsets");

static_assert(sizeof(HostMessage3) == 34 && offsetof(HostMessage3, p3) == 30, "HostMessage3");

static_assert(sizeof(ColumnValue) == 10 && offsetof(ColumnValue, value) == 2 &&
              offsetof(ColumnValue, bufferSize) == 6, "ColumnValue");

static_assert(sizeof(ActionEvent) == 30 && offsetof(ActionEvent, id) == 2 &&
              offsetof(ActionEvent, parent) == 6 && offsetof(ActionEvent, contact) == 10 &&
              offsetof(ActionEvent, code) == 14 && offsetof(ActionEvent, reserved) == 18,
              "ActionEvent");

static_assert(sizeof(NotifyDefine) == 44 && offsetof(NotifyDefine, routeType) == 10 &&
              offsetof(NotifyDefine, routeTarget) == 14 && offsetof(NotifyDefine, gap) == 22 &&
              offsetof(NotifyDefine, minusOne) == 24 && offsetof(NotifyDefine, name) == 28 &&
              offsetof(NotifyDefine, description) == 32 && offsetof(NotifyDefine, one) == 36 &&
              offsetof(NotifyDefine, zero) == 40, "NotifyDefine");

static_assert(sizeof(StatusMessage) == 34 && offsetof(StatusMessage, contact) == 22 &&
              offsetof(StatusMessage, status) == 26 && offsetof(StatusMessage, text) == 30,
              "StatusMessage");

static_assert(sizeof(NotifyShow) == 52 && offsetof(NotifyShow, routeType) == 10 &&
              offsetof(NotifyShow, routeTarget) == 14 && offsetof(NotifyShow, text) == 24 &&
              offsetof(NotifyShow, okFlag) == 28 && offsetof(NotifyShow, wellFlag) == 29 &&
              offsetof(NotifyShow, zero) == 30 && offsetof(NotifyShow, iconId) == 32 &&
              offsetof(NotifyShow, zero1) == 36 && offsetof(NotifyShow, zero2) == 40 &&
              offsetof(NotifyShow, minusTwo) == 44 && offsetof(NotifyShow, zero3) == 48,
              "NotifyShow");

static_assert(sizeof(ColumnRegister) == 39 && offsetof(ColumnRegister, table) == 22 &&
              offsetof(ColumnRegister, column) == 23 && offsetof(ColumnRegister, type) == 27 &&
              offsetof(ColumnRegister, defaultValue) == 31 && offsetof(ColumnRegister, name) == 35,
              "ColumnRegister");

static_assert(sizeof(IconRecord) == 36 && offsetof(IconRecord, iconId) == 4 &&
              offsetof(IconRecord, imageKind) == 8 && offsetof(IconRecord, zero1) == 12 &&
              offsetof(IconRecord, flag) == 16 && offsetof(IconRecord, module) == 20 &&
              offsetof(IconRecord, resourceId) == 24 && offsetof(IconRecord, zero2) == 28 &&
              offsetof(IconRecord, zero3) == 32, "IconRecord");

static_assert(sizeof(UiItem) == 74 && offsetof(UiItem, id) == 2 && offsetof(UiItem, parent) == 6 &&
              offsetof(UiItem, contact) == 10 && offsetof(UiItem, code) == 14 &&
              offsetof(UiItem, mask) == 30 && offsetof(UiItem, kindOrState) == 34 &&
              offsetof(UiItem, stateMask) == 38 && offsetof(UiItem, text) == 50 &&
              offsetof(UiItem, textSize) == 54 && offsetof(UiItem, param) == 62 &&
              offsetof(UiItem, width) == 70 && offsetof(UiItem, height) == 72, "UiItem");

static_assert(sizeof(UiItemWide) == 78 && offsetof(UiItemWide, wide1) == 74 &&
              offsetof(UiItemWide, wide2) == 76, "UiItemWide");

// Column value kinds.
constexpr uint16_t kColumnInt = 0;
constexpr uint16_t kColumnText = 1;

}  // namespace Vardok
