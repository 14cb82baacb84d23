// What the desk host's windows share: the font, texts of interface items,
// the rich-text control that shows the plug-in's small HTML, and the
// routing of keyboard messages to the host's dialog-like windows.
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
// The system's message font, bold when asked.
HFONT createUiFont(bool bold);
// Marks a window as dialog-like: Tab and Enter move between its controls.
void addDialogWindow(HWND window);
void removeDialogWindow(HWND window);
bool isDialogMessageOfDesk(MSG* message);

// The visible part of an interface item's text (Windows-1250): up to a
// character below 8 or the parameter mark.
std::string visibleItemText(const std::string& text);
// The value of a "\x1A" key "=" value parameter of an item's text.
std::string itemParam(const std::string& text, const std::string& key);
// The plug-in's small HTML (b, i, small, br, div, &copy; and the like) as
// plain text, line breaks kept.
std::wstring plainFromHtml(const std::wstring& html);

// The first line of text, at most most characters ("..." when cut).
std::wstring firstLineOf(const std::wstring& text, size_t most);
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
