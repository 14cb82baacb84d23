// What the desk host's windows share: the font, the rich-text control that
// shows the plug-in's small HTML, and the routing of keyboard messages to
// the host's dialog-like windows. (The texts of interface items are read
// by hostapi/item_text.h.)
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include <windows.h>

namespace VardokHost {

// Registers the window classes of the desk host (once).
void registerDeskWindowClasses();
// Registers one window class of this program (once; again is harmless).
void registerWindowClass(const wchar_t* name, WNDPROC procedure, HBRUSH background);
// Adds report columns (title, width) to a list view.
void addListColumns(HWND list, std::initializer_list<std::pair<const wchar_t*, int>> columns);
// Sets the text of one column (0: the label) of a list view's item.
void setListItemText(HWND list, int item, int column, const std::wstring& text);
// The system's message font, bold when asked.
HFONT createUiFont(bool bold);
// Marks a window as dialog-like: Tab and Enter move between its controls.
void addDialogWindow(HWND window);
void removeDialogWindow(HWND window);
bool isDialogMessageOfDesk(MSG* message);

// A message box of the host (caption "Vardok") during which the main
// thread still runs what the plug-in queues for it (its timers, its
// finished runs); the button pressed.
int askAlertably(HWND owner, const std::wstring& text, UINT style);

// The plug-in's small HTML (b, i, small, br, div, &copy; and the like) as
// plain text, line breaks kept.
std::wstring plainFromHtml(const std::wstring& html);

// What a list shows of a host's text (Windows-1250: a status text, an
// output): its first line with anything in it, markup and control
// characters gone (host/lib/display_text.h), read from its first MiB.
std::wstring listLineOf(const std::string& hostText);
// What a detail view shows of it: the whole text so cleaned, bounded,
// with the line ends an edit control takes.
std::wstring detailTextOf(const std::string& hostText);
// text for a tool-tip: at most most characters, control characters other
// than line breaks shown as spaces.
std::wstring boundedTipText(const std::wstring& text, size_t most);

// The rich-text control's class: its window text is the HTML; it paints
// it word-wrapped, with bold, italic and small runs.
extern const wchar_t kRichTextClass[];
// The height the rich-text control's HTML needs at its present width.
int richTextHeight(HWND control);
// The width a text needs in a control's font.
int textWidth(HWND control, const std::wstring& text);

}  // namespace VardokHost
