#include "plugin/settings_page.h"

#include <string>

#include "plugin/columns.h"
#include "hostapi/host.h"
#include "hostapi/messages.h"
#include "plugin/params.h"
#include "hostapi/texts.h"

namespace Vardok {

namespace {

constexpr int kCaptionWidth = 50;
constexpr int kInfoHeight = -4;

UiItem makeItem(int id, int parent, int contact) {
  UiItem item{};
  item.size = sizeof(UiItem);
  item.id = id;
  item.parent = parent;
  item.contact = contact;
  return item;
}

UiItem makeInsertItem(int parent, int id, int code, int kind, const char* text, int param,
                      int width, int height) {
  UiItem item = makeItem(id, parent, kContactAny);
  item.code = code;
  item.mask = kInsertMask;
  item.kindOrState = kind;
  item.stateMask = -1;
  item.text = text;
  item.param = param;
  item.width = static_cast<int16_t>(width);
  item.height = static_cast<int16_t>(height);
  return item;
}

int sendUi(uint32_t id, void* record) {
  return SendSimple(id, reinterpret_cast<int32_t>(record), 0);
}

// "Name 1.3.2", or the bare name when the host asks for no version.
std::string pluginHeading() {
  HostMessage ask = MakeMessage(HM_ID_NAME);
  const char* name = reinterpret_cast<const char*>(SendTo(GetPluginId(), &ask));
  std::string heading = name ? name : "";

  const int version = SendSimple(HM_PLUGIN_VERSION, GetPluginId(), 0);
  char versionText[64];
  versionText[0] = '\0';
  SendSimple(HM_VERSION_TEXT, version, reinterpret_cast<int32_t>(versionText));
  versionText[sizeof versionText - 1] = '\0';

  if (GetHostMode() != 1) heading += std::string(" ") + versionText;
  return heading;
}

}  // namespace

int RegisterIcon(int imageKind, int iconId, HINSTANCE module, int resourceId, int flag) {
  IconRecord record{};
  record.size = sizeof(IconRecord);
  record.iconId = iconId;
  record.imageKind = imageKind;
  record.flag = flag;
  record.module = module;
  record.resourceId = resourceId;
  return sendUi(HM_ICON_REGISTER, &record);
}

void InsertUiItem(int parent, int id, int code, int kind, const char* text, int param,
                  int width, int height) {
  UiItem item = makeInsertItem(parent, id, code, kind, text, param, width, height);
  sendUi(HM_UI_INSERT, &item);
}

void InsertUiItemWide(int parent, int id, int code, int kind, const char* text, int param,
                      int width, int height, int16_t wide1, int16_t wide2) {
  UiItemWide item{};
  item.item = makeInsertItem(parent, id, code, kind, text, param, width, height);
  item.item.size = sizeof(UiItemWide);
  item.wide1 = wide1;
  item.wide2 = wide2;
  sendUi(HM_UI_INSERT, &item);
}

const char* GetUiItemValue(int id, int parent, int contact, bool live) {
  UiItem item = makeItem(id, parent, contact);
  item.mask = kValueMask | (live ? kLiveValue : 0);
  return reinterpret_cast<const char*>(sendUi(HM_UI_GET_VALUE, &item));
}

void SetUiItemState(int id, int parent, int contact, int state, int stateMask) {
  UiItem item = makeItem(id, parent, contact);
  item.mask = kStateMaskField;
  item.kindOrState = state;
  item.stateMask = stateMask;
  sendUi(HM_UI_SET_STATE, &item);
}

int CallUiAction(ActionEvent* event) { return sendUi(HM_UI_CALL, event); }

void InsertInfoBox(int parent, const char* description, const char* credit, const char* imageUrl,
                   int height, const char* title, bool grouped) {
  if (grouped) InsertUiItem(parent, 0, -1, kKindGroupOpen, "", 0, 0, 0);

  std::string heading = title ? std::string(title) : pluginHeading();
  if (!heading.empty()) heading = "<b>" + heading + "</b><br/>";
  if (credit) heading += credit;

  std::string params;
  if (imageUrl) {
    params = SetParam(params, std::string(1, kParamMark) + "imgurl=", imageUrl);
    const std::string iconSize = std::string(1, kParamMark) + "iconsize=";
    if (!HasParam(params, iconSize)) params = SetParam(params, iconSize, "32");
  }
  params = SetParam(params, std::string(1, kParamMark) + "tipRich=", heading);
  params = SetParam(params, std::string(1, kParamMark) + "tipWidth=", "300");

  InsertUiItem(parent, 0, -1, kKindInfoImage, params.c_str(), 0, 40, 40);
  InsertUiItemWide(parent, 0, -1, kKindInfoText, description, 0, 300, height, 0, 0);

  if (grouped) InsertUiItem(parent, 0, -1, kKindGroupClose, nullptr, 0, 0, 0);
}

namespace {

// A column's control on the page, bound to the column: an edit field has
// its caption before it; a check box carries its caption itself.
void insertColumnControl(CheckColumnIndex index) {
  // The page's texts of each column, in the order of kCheckColumns.
  static const struct {
    const char* caption;
    const char* controlText;
  } kTexts[kCheckColumnCount] = {
      {Texts::kCommandCaption, Texts::kCommandTip},
      {Texts::kIntervalCaption, ""},
      {Texts::kEnabledCaption, Texts::kEnabledCaption},
  };
  const int id = columnId(index);
  switch (kCheckColumns[index].control) {
    case ColumnControl::TextEdit:
    case ColumnControl::NumberEdit: {
      const bool text = kCheckColumns[index].control == ColumnControl::TextEdit;
      InsertUiItem(kPageId, 0, -1, kKindCaption, kTexts[index].caption, 0, kCaptionWidth, 0);
      InsertUiItem(kPageId, kBoundControlId, -1, text ? kKindTextEdit : kKindNumberEdit, kTexts[index].controlText, id,
                   0, 0);
      return;
    }
    case ColumnControl::CheckBox:
      InsertUiItem(kPageId, kBoundControlId, -1, kKindCheckBox, kTexts[index].controlText, id, 0, 0);
      return;
  }
}

}  // namespace

int setupUi() {
  const HINSTANCE module = GetPluginInstance();
  RegisterIcon(1, StatusIconId(0), module, kResourceIconOk, 1);
  RegisterIcon(1, StatusIconId(0x41), module, kResourceIconProblem, 1);
  RegisterIcon(1, StatusIconId(0x40), module, kResourceIconCritical, 1);
  RegisterIcon(1, kLogoIconId, module, kResourceIconOk, 1);

  InsertUiItem(kSettingsGroup, kPageId, 0, kKindPage, kPluginName, kLogoIconId, 0, 0);
  InsertInfoBox(kPageId, Texts::kPageDescription, Texts::kCredit, "res://dll/101.ico",
                kInfoHeight, nullptr, true);
  InsertUiItem(kPageId, 0, -1, kKindGroupOpen, "", 0, 0, 0);
  for (int index = 0; index < kCheckColumnCount; ++index) insertColumnControl(static_cast<CheckColumnIndex>(index));
  InsertUiItem(kPageId, 0, -1, kKindSeparator, "", 0, 0, 0);
  InsertUiItem(kPageId, kCheckActionId, -1, kKindButton, Texts::kCheckButton, 0, 100, 25);
  InsertUiItem(kPageId, 0, -1, kKindGroupClose, Texts::kGroupTitle, 0, 0, 0);
  InsertUiItem(kContactMenuGroup, kCheckActionId, 0, kKindMenuItem, Texts::kRefresh, kLogoIconId, 0, 0);
  return 1;
}

}  // namespace Vardok
