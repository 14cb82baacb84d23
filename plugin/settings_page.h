// The plug-in's icons, the settings page of a contact and the contact-menu
// item (HM_SETUP_UI), and the calls on the host's interface tree.
//
// Main thread only, except GetUiItemValue and SetUiItemState, which any
// thread may call.
#pragma once

#include <cstdint>

#include <windows.h>

#include "hostapi/protocol.h"
#include "hostapi/records.h"

namespace Vardok {

// HM_SETUP_UI.
int setupUi();

int RegisterIcon(int imageKind, int iconId, HINSTANCE module, int resourceId, int flag);
void InsertUiItem(int parent, int id, int code, int kind, const char* text, int param,
                  int width, int height);
void InsertUiItemWide(int parent, int id, int code, int kind, const char* text, int param,
                      int width, int height, int16_t wide1, int16_t wide2);
// The host's current text of an item for a contact (live: as the user is
// editing it), or null.
const char* GetUiItemValue(int id, int parent, int contact, bool live);
void SetUiItemState(int id, int parent, int contact, int state, int stateMask);
int CallUiAction(ActionEvent* event);

// The page's information box: a heading (the plug-in's name and version
// unless title is given; an empty title gives none), the credit line, an
// image and the description.
void InsertInfoBox(int parent, const char* description, const char* credit, const char* imageUrl,
                   int height, const char* title, bool grouped);

}  // namespace Vardok
