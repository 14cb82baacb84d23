// The DLL's resources: the version information and the three icon groups.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "support/threads/unique_handle.h"
#include "tests/plugin_fixture.h"

namespace {

class Resources : public ::testing::Test {
 protected:
  void SetUp() override {
    path = VardokTest::programFolder() + "Vardok.dll";
    owner.reset(LoadLibraryA(path.c_str()));
    module = owner.get();
    ASSERT_NE(module, nullptr);
  }
  void TearDown() override { owner.reset(); }

  Quorlin::ModuleHandle owner;

  std::string path;
  HMODULE module = nullptr;
};

TEST_F(Resources, VersionInformation) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, data.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010003u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00020000u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00000006u);

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  EXPECT_EQ(translation[0], 0x0415);

  char* text = nullptr;
  const struct {
    const char* key;
    const char* value;
  } strings[] = {{"ProductName", "Vardok"}, {"FileDescription", "Vardok"}, {"FileVersion", "1.3.2"},
                 {"ProductVersion", "0.6"}};
  for (const auto& s : strings) {
    const std::string query = std::string("\\StringFileInfo\\041504e2\\") + s.key;
    ASSERT_TRUE(VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void**>(&text), &length)) << s.key;
    EXPECT_STREQ(text, s.value);
  }
}

// Wine starts its desktop process on a program's first use of windows; that
// process inherits the program's standard handles and would keep the test
// runner's pipe open for as long as it lives. Meanwhile they point at NUL.
class StandardHandlesToNul {
 public:
  StandardHandlesToNul() {
    _nul.reset(CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr));
    for (int i = 0; i < 3; ++i) {
      _saved[i] = GetStdHandle(kWhich[i]);
      SetStdHandle(kWhich[i], _nul.get());
    }
  }
  ~StandardHandlesToNul() {
    for (int i = 0; i < 3; ++i) SetStdHandle(kWhich[i], _saved[i]);
  }

 private:
  static constexpr DWORD kWhich[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  HANDLE _saved[3];
  Quorlin::FileHandle _nul;
};

TEST_F(Resources, IconsLoad) {
  StandardHandlesToNul quiet;
  for (int id : {101, 102, 103}) {
    for (int size : {16, 32}) {
      HANDLE icon = LoadImageA(module, MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, 0);
      EXPECT_NE(icon, nullptr) << id << " at " << size;
      if (icon) DestroyIcon(static_cast<HICON>(icon));
    }
  }
}

#pragma pack(push, 1)
struct GroupIconEntry {
  BYTE width, height, colours, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

std::vector<std::pair<int, int>> groupImages(HMODULE module, int id) {
  std::vector<std::pair<int, int>> images;
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), reinterpret_cast<LPCSTR>(RT_GROUP_ICON));
  if (!found) return images;
  const BYTE* group = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
  const WORD count = *reinterpret_cast<const WORD*>(group + 4);
  const auto* entries = reinterpret_cast<const GroupIconEntry*>(group + 6);
  for (WORD i = 0; i < count; ++i) images.emplace_back(entries[i].width, entries[i].bitCount);
  return images;
}

TEST_F(Resources, IconGroupsHoldTheListedSizesAndDepths) {
  using Images = std::vector<std::pair<int, int>>;
  EXPECT_EQ(groupImages(module, 101), (Images{{32, 8}, {16, 8}, {32, 32}, {16, 32}}));
  EXPECT_EQ(groupImages(module, 102), (Images{{48, 4}, {32, 4}, {16, 4}, {48, 1}, {32, 1}, {16, 1},
                                              {48, 8}, {32, 8}, {16, 8}, {48, 32}, {32, 32}, {16, 32}}));
  EXPECT_EQ(groupImages(module, 103), (Images{{48, 8}, {32, 8}, {16, 8}, {48, 32}, {32, 32}, {16, 32}}));
}

// One image of a group, decoded: the colour of each pixel as 0xRRGGBB,
// and whether the AND mask leaves it opaque.
struct IconImage {
  int size = 0, bits = 0;
  std::vector<DWORD> colours;
  std::vector<bool> opaque;
  DWORD at(double x, double y) const { return colours[index(x, y)]; }
  bool opaqueAt(double x, double y) const { return opaque[index(x, y)]; }
  size_t index(double x, double y) const {
    return static_cast<size_t>(static_cast<int>(y * size) * size + static_cast<int>(x * size));
  }
};

std::vector<IconImage> decodeGroup(HMODULE module, int id) {
  std::vector<IconImage> images;
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), reinterpret_cast<LPCSTR>(RT_GROUP_ICON));
  if (!found) return images;
  const BYTE* group = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
  const WORD count = *reinterpret_cast<const WORD*>(group + 4);
  const auto* entries = reinterpret_cast<const GroupIconEntry*>(group + 6);
  for (WORD i = 0; i < count; ++i) {
    HRSRC icon = FindResourceA(module, MAKEINTRESOURCEA(entries[i].id), reinterpret_cast<LPCSTR>(RT_ICON));
    if (!icon) continue;
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, icon)));
    const auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(data);
    IconImage image;
    image.size = header->biWidth;
    image.bits = header->biBitCount;
    const int size = image.size, bits = image.bits;
    const DWORD* palette = reinterpret_cast<const DWORD*>(data + header->biSize);
    const BYTE* pixels = data + header->biSize + (bits <= 8 ? 4u << bits : 0);
    const size_t stride = (static_cast<size_t>(size) * bits + 31) / 32 * 4;
    const BYTE* mask = pixels + stride * size;
    const size_t maskStride = (static_cast<size_t>(size) + 31) / 32 * 4;
    for (int y = 0; y < size; ++y) {
      const BYTE* row = pixels + stride * (size - 1 - y);
      const BYTE* maskRow = mask + maskStride * (size - 1 - y);
      for (int x = 0; x < size; ++x) {
        DWORD colour;
        if (bits == 32) {
          colour = row[x * 4 + 2] << 16 | row[x * 4 + 1] << 8 | row[x * 4];
        } else {
          const int bit = x * bits;
          const int value = (row[bit / 8] >> (8 - bits - bit % 8)) & ((1 << bits) - 1);
          colour = palette[value] & 0xFFFFFF;
        }
        image.colours.push_back(colour);
        image.opaque.push_back(!((maskRow[x / 8] >> (7 - x % 8)) & 1));
      }
    }
    images.push_back(image);
  }
  return images;
}

TEST_F(Resources, EveryFormatOfEveryGroupShowsItsMark) {
  // A point of each group's mark, and a point of the disc outside it.
  const struct {
    int group;
    double markX, markY;
  } groups[] = {{101, 0.44, 0.68}, {102, 0.5, 0.40}, {103, 0.5, 0.5}};
  for (const auto& g : groups) {
    const std::vector<IconImage> images = decodeGroup(module, g.group);
    ASSERT_FALSE(images.empty()) << g.group;
    for (const IconImage& image : images) {
      SCOPED_TRACE("group " + std::to_string(g.group) + ", " + std::to_string(image.size) + " px, " +
                   std::to_string(image.bits) + " bits");
      EXPECT_TRUE(image.opaqueAt(g.markX, g.markY));
      EXPECT_TRUE(image.opaqueAt(0.5, 0.12));
      EXPECT_FALSE(image.opaqueAt(0.02, 0.02));
      EXPECT_NE(image.at(g.markX, g.markY), image.at(0.5, 0.12));
    }
  }
}

}  // namespace
