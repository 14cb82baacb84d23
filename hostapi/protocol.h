// Every constant of the host protocol beyond the message ids: the ids of
// the plug-in's interface items, the host's control kinds and item-record
// field values, status bytes, icon ids, action-event codes, contact-change
// bits and the parameter mark of item texts. Defined once here; the
// plug-in and the hosts both use them.
#pragma once

#include <cstdint>

namespace Vardok {

// --- the plug-in's items in the host's interface tree ---
constexpr int kPageId = 82000;          // the settings page
constexpr int kCheckActionId = 82001;   // the check button and the contact-menu item
constexpr int kSettingsGroup = 71;      // the contact's settings window
constexpr int kContactMenuGroup = 30;   // the host's per-contact action group
// An item bound to a column: this id OR the column id.
constexpr int kBoundControlId = 0x13000000;
constexpr int kBoundControlMask = static_cast<int>(0xFF000000u);

// --- control kinds of the host's interface tree ---
constexpr int kKindPage = 0x1000010;
constexpr int kKindGroupOpen = 0xF0000;
constexpr int kKindGroupClose = 0x100000;
constexpr int kKindCaption = 0x90040;
constexpr int kKindTextEdit = 0xB0080;
constexpr int kKindNumberEdit = 0xB0020;
constexpr int kKindCheckBox = 0x60000;
constexpr int kKindSeparator = 0x10000;
constexpr int kKindButton = 0xE0000;
constexpr int kKindMenuItem = 0x1000100;
constexpr int kKindInfoImage = 0x1C0040;
constexpr int kKindInfoText = 0x180080;

// --- field values of the interface-item record ---
constexpr int kInsertMask = 863;
constexpr int kValueMask = 0x40;
constexpr int kLiveValue = 0x10000;
constexpr int kStateMaskField = 1;
constexpr int kContactAny = -2;

// --- action-event codes ---
constexpr int kEventActivated = 1;
constexpr int kEventQueryState = 10;
constexpr int kEventQueryShown = 17;

// HM_CONTACT_CHANGED, p2: either of these bits recreates the contact's check.
constexpr int kChangeBitsRecreate = 0x3;

// --- a check's status byte (column 2) ---
constexpr uint8_t kStatusOk = 0;
constexpr uint8_t kStatusProblem = 0x41;
constexpr uint8_t kStatusCritical = 0x40;

// --- icons ---
constexpr int kLogoIconId = 0x25200000;
// The icon of a check state: (0x4520000 OR status) shifted left by 4.
constexpr uint32_t StatusIconId(uint8_t status) { return (0x4520000u | status) << 4; }
constexpr int kResourceIconOk = 101;
constexpr int kResourceIconProblem = 102;
constexpr int kResourceIconCritical = 103;

// --- item texts ---
// Starts a parameter ("\x1A" key "=" value) after an item's visible text.
constexpr char kParamMark = '\x1A';

// --- pop-up record field values ---
constexpr int32_t kPopupOkFlag = 0x10;

}  // namespace Vardok
