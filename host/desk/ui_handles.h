// Owners of the desk host's user-interface handles: fonts, brushes, pens,
// bitmaps, memory device contexts, image lists, accelerator tables and
// menus each have one owner that frees them with the function that matches
// how they were made. Main thread.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "support/threads/unique_handle.h"

namespace VardokHost {

// Handles that their maker answers null for on failure, freed by Free.
template <typename Handle, auto Free>
struct NullIsInvalidTraits {
  using Type = Handle;
  static Type invalid() noexcept { return nullptr; }
  static void close(Type handle) noexcept { Free(handle); }
};

using GdiObjectTraits = NullIsInvalidTraits<HGDIOBJ, DeleteObject>;
using ImageListTraits = NullIsInvalidTraits<HIMAGELIST, ImageList_Destroy>;
using AcceleratorTraits = NullIsInvalidTraits<HACCEL, DestroyAcceleratorTable>;
using MenuTraits = NullIsInvalidTraits<HMENU, DestroyMenu>;
using MemoryDcTraits = NullIsInvalidTraits<HDC, DeleteDC>;

// A GDI object of one kind: get() answers the kind's own handle type.
template <typename Handle, typename Tag>
class GdiObject {
 public:
  GdiObject() = default;
  explicit GdiObject(Handle object) : _object(object) {}
  Handle get() const { return static_cast<Handle>(_object.get()); }
  explicit operator bool() const { return static_cast<bool>(_object); }
  void reset(Handle object = nullptr) { _object.reset(object); }

 private:
  Quorlin::UniqueHandle<GdiObjectTraits, Tag> _object;
};

using FontHandle = GdiObject<HFONT, struct FontTag>;
using BrushHandle = GdiObject<HBRUSH, struct BrushTag>;
using PenHandle = GdiObject<HPEN, struct PenTag>;
using BitmapHandle = GdiObject<HBITMAP, struct BitmapTag>;
using ImageListHandle = Quorlin::UniqueHandle<ImageListTraits>;
using AcceleratorHandle = Quorlin::UniqueHandle<AcceleratorTraits>;
using MenuHandle = Quorlin::UniqueHandle<MenuTraits>;
// A device context of CreateCompatibleDC (not one of GetDC, which
// ReleaseDC gives back).
using MemoryDcHandle = Quorlin::UniqueHandle<MemoryDcTraits>;

// Selects a GDI object into a device context for as long as it lives, and
// puts back what was there: an owner must not free an object still
// selected.
class Selected {
 public:
  Selected(HDC dc, HGDIOBJ object) : _dc(dc), _old(SelectObject(dc, object)) {}
  ~Selected() { SelectObject(_dc, _old); }
  Selected(const Selected&) = delete;
  Selected& operator=(const Selected&) = delete;

 private:
  HDC _dc;
  HGDIOBJ _old;
};

}  // namespace VardokHost
