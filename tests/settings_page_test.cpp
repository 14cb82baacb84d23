// The columns, icons and settings page that the plug-in registers, read back
// from the host's records at their documented offsets.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/columns.h"
#include "hostapi/host.h"
#include "plugin/settings_page.h"
#include "hostapi/texts.h"
#include "tests/plugin_fixture.h"

using namespace Vardok;
using VardokHost::HostEvent;
using VardokTest::LinkedPluginTest;

namespace {

const std::string M(1, '\x1A');
const std::string kDescription =
    "<div>Wtyczka uruchamia polecenie co <i>n</i> sekund. Je\xBF" "eli polecenie zwr\xF3" "ci dowolny kod "
    "b\xB3\xEA" "du, Vardok uzna \xBF" "e wyst\xB9pi\xB3 problem i nas o tym poinformuje.</div><div>Polecenia "
    "uruchamiane s\xB9 w osobnym w\xB9tku. Wynik zapisywany jest w polu 'Wi\xEA" "cej/Opis w\xB3" "asny'.";

class SettingsPage : public LinkedPluginTest {
 protected:
  void SetUp() override {
    LinkedPluginTest::SetUp();
    attachCore();
    host.post(HM_SETUP_COLUMNS);
    commandId = host.columnId("Vardok/command");
    intervalId = host.columnId("Vardok/interval");
    enabledId = host.columnId("Vardok/enabled");
  }

  std::vector<HostEvent> insertedItems() { return host.messages(HM_UI_INSERT); }

  int commandId = 0, intervalId = 0, enabledId = 0;
};

TEST_F(SettingsPage, ColumnsAreRegisteredInOrderAndKept) {
  const auto regs = host.messages(HM_COLUMN_REGISTER);
  ASSERT_EQ(regs.size(), 3u);
  const struct {
    const char* name;
    int type, defaultValue;
  } expected[] = {{"Vardok/command", 1, 0}, {"Vardok/interval", 0, 120}, {"Vardok/enabled", 0, 0}};
  for (int i = 0; i < 3; ++i) {
    const HostEvent& r = regs[i];
    ASSERT_EQ(r.record.size(), 39u);
    EXPECT_EQ(r.u16(0), 39);
    EXPECT_EQ(r.i32(2), 1102);
    for (size_t offset = 6; offset < 22; offset += 4) EXPECT_EQ(r.i32(offset), 0);
    EXPECT_EQ(r.u8(22), 1);
    EXPECT_EQ(r.i32(23), -1);
    EXPECT_EQ(r.i32(27), expected[i].type);
    EXPECT_EQ(r.i32(31), expected[i].defaultValue);
    EXPECT_EQ(r.text, expected[i].name);
  }
  EXPECT_EQ(commandColumn(), regs[0].answer);
  EXPECT_EQ(intervalColumn(), regs[1].answer);
  EXPECT_EQ(enabledColumn(), regs[2].answer);
  EXPECT_EQ(commandColumn(), commandId);
}

TEST_F(SettingsPage, FourIconsWithTheModuleHandle) {
  host.post(HM_SETUP_UI);
  const auto icons = host.messages(HM_ICON_REGISTER);
  ASSERT_EQ(icons.size(), 4u);
  const struct {
    uint32_t id;
    int resource;
  } expected[] = {{0x45200000, 101}, {0x45200410, 102}, {0x45200400, 103}, {0x25200000, 101}};
  for (int i = 0; i < 4; ++i) {
    const HostEvent& e = icons[i];
    EXPECT_EQ(e.i32(26), 0) << "p2";
    ASSERT_EQ(e.payload.size(), 36u);
    EXPECT_EQ(e.payloadI16(0), 36);
    EXPECT_EQ(e.payloadI16(2), 0);
    EXPECT_EQ(static_cast<uint32_t>(e.payloadI32(4)), expected[i].id);
    EXPECT_EQ(e.payloadI32(8), 1);
    EXPECT_EQ(e.payloadI32(12), 0);
    EXPECT_EQ(e.payloadI32(16), 1);
    EXPECT_EQ(e.payloadI32(20), reinterpret_cast<int32_t>(plugin->module()));
    EXPECT_EQ(e.payloadI32(24), expected[i].resource);
    EXPECT_EQ(e.payloadI32(28), 0);
    EXPECT_EQ(e.payloadI32(32), 0);
    EXPECT_EQ(static_cast<uint32_t>(e.answer), expected[i].id);
  }
}

struct ExpectedItem {
  int size, parent, id, code, kind;
  bool hasText;
  std::string text;
  int param, width, height;
};

TEST_F(SettingsPage, ItemsInOrderAtEveryOffset) {
  EXPECT_EQ(host.post(HM_SETUP_UI), 1);
  const std::string infoParams = M + "imgurl=res://dll/101.ico" + M + "iconsize=32" + M +
                                 "tipRich=<b>Vardok 1.3.2</b><br/>" + Texts::kCredit + M + "tipWidth=300";
  const ExpectedItem expected[] = {
      {74, 71, 82000, 0, 0x1000010, true, "Vardok", 0x25200000, 0, 0},
      {74, 82000, 0, -1, 0xF0000, true, "", 0, 0, 0},
      {74, 82000, 0, -1, 0x1C0040, true, infoParams, 0, 40, 40},
      {78, 82000, 0, -1, 0x180080, true, kDescription, 0, 300, -4},
      {74, 82000, 0, -1, 0x100000, false, "", 0, 0, 0},
      {74, 82000, 0, -1, 0xF0000, true, "", 0, 0, 0},
      {74, 82000, 0, -1, 0x90040, true, "Polecenie", 0, 50, 0},
      {74, 82000, 0x13000000, -1, 0xB0080, true, M + "tip=Komenda do wywo\xB3" "ania", commandId, 0, 0},
      {74, 82000, 0, -1, 0x90040, true, "Interwa\xB3", 0, 50, 0},
      {74, 82000, 0x13000000, -1, 0xB0020, true, "", intervalId, 0, 0},
      {74, 82000, 0x13000000, -1, 0x60000, true, "W\xB3\xB9" "czony", enabledId, 0, 0},
      {74, 82000, 0, -1, 0x10000, true, "", 0, 0, 0},
      {74, 82000, 82001, -1, 0xE0000, true, "Sprawd\x9F" + M + "tip=Najpierw zapisz zmiany!", 0, 100, 25},
      {74, 82000, 0, -1, 0x100000, true, "Komenda", 0, 0, 0},
      {74, 30, 82001, 0, 0x1000100, true, "Od\x9Cwie\xBF", 0x25200000, 0, 0},
  };
  const auto items = insertedItems();
  ASSERT_EQ(items.size(), std::size(expected));
  for (size_t i = 0; i < items.size(); ++i) {
    const HostEvent& e = items[i];
    const ExpectedItem& x = expected[i];
    SCOPED_TRACE("item " + std::to_string(i + 1));
    EXPECT_EQ(e.record.size(), 30u);
    EXPECT_EQ(e.i32(26), 0);
    ASSERT_EQ(e.payload.size(), static_cast<size_t>(x.size));
    EXPECT_EQ(e.payloadI16(0), x.size);
    EXPECT_EQ(e.payloadI32(2), x.id);
    EXPECT_EQ(e.payloadI32(6), x.parent);
    EXPECT_EQ(e.payloadI32(10), -2);
    EXPECT_EQ(e.payloadI32(14), x.code);
    EXPECT_EQ(e.payloadI32(30), 863);
    EXPECT_EQ(e.payloadI32(34), x.kind);
    EXPECT_EQ(e.payloadI32(38), -1);
    EXPECT_EQ(e.hasText, x.hasText);
    EXPECT_EQ(e.text, x.text);
    EXPECT_EQ(e.payloadI32(54), 0);
    EXPECT_EQ(e.payloadI32(62), x.param);
    EXPECT_EQ(e.payloadI16(70), x.width);
    EXPECT_EQ(e.payloadI16(72), x.height);
    // Every byte the record does not name is zero.
    for (size_t b : {18u, 22u, 26u, 42u, 46u, 58u, 66u})
      EXPECT_EQ(e.payloadI32(b), 0) << "bytes at " << b;
    if (x.size == 78) {
      EXPECT_EQ(e.payloadI16(74), 0);
      EXPECT_EQ(e.payloadI16(76), 0);
    }
  }
}

TEST_F(SettingsPage, WindowsCodePageTextLengths) {
  EXPECT_EQ(std::strlen(Texts::kCheckButton), 35u);
  EXPECT_EQ(std::strlen(Texts::kPageDescription), 255u);
  EXPECT_EQ(std::string(Texts::kPageDescription), kDescription);
}

TEST_F(SettingsPage, HeadingAsksTheHostForNameAndVersion) {
  host.setPluginVersion(0x20A05003);
  host.post(HM_SETUP_UI);
  const auto versions = host.messages(HM_PLUGIN_VERSION);
  ASSERT_EQ(versions.size(), 1u);
  EXPECT_EQ(versions[0].i32(22), host.GetPluginId());
  const auto texts = host.messages(HM_VERSION_TEXT);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].i32(22), 0x20A05003);
  EXPECT_NE(texts[0].i32(26), 0);
  EXPECT_NE(insertedItems()[2].text.find("tipRich=<b>Vardok 2.10.5.3</b><br/>"), std::string::npos);
}

TEST_F(SettingsPage, HostModeOneLeavesTheBareName) {
  host.setHostMode(1);
  host.post(HM_SETUP_UI);
  EXPECT_EQ(insertedItems()[2].text, M + "imgurl=res://dll/101.ico" + M + "iconsize=32" + M +
                                         "tipRich=<b>Vardok</b><br/>" + Texts::kCredit + M + "tipWidth=300");
}

TEST_F(SettingsPage, InfoBoxTitles) {
  InsertInfoBox(5, "desc", "credit", nullptr, 10, "", false);
  InsertInfoBox(5, "desc", "credit", nullptr, 10, "Title", false);
  InsertInfoBox(5, "desc", nullptr, "img", 10, "", false);
  const auto items = insertedItems();
  // Without grouping: the image item and the description only.
  ASSERT_EQ(items.size(), 6u);
  EXPECT_EQ(items[0].text, M + "tipRich=credit" + M + "tipWidth=300");
  EXPECT_EQ(items[1].text, "desc");
  EXPECT_EQ(items[1].payloadI16(72), 10);
  EXPECT_EQ(items[2].text, M + "tipRich=<b>Title</b><br/>credit" + M + "tipWidth=300");
  EXPECT_EQ(items[4].text, M + "imgurl=img" + M + "iconsize=32" + M + "tipRich=" + M + "tipWidth=300");
  // An empty title asks the host for nothing.
  EXPECT_TRUE(host.messages(HM_PLUGIN_VERSION).empty());
}

TEST_F(SettingsPage, ItemValueStateAndActionRecords) {
  const int contact = host.addContact(82);
  host.setUiValue(contact, std::string("ping localhost"));
  const char* value = GetUiItemValue(0x13000000 | commandId, 82000, contact, true);
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "ping localhost");
  SetUiItemState(82001, 30, contact, -1, 1);

  const auto get = host.messages(HM_UI_GET_VALUE);
  ASSERT_EQ(get.size(), 1u);
  EXPECT_EQ(get[0].payload.size(), 74u);
  EXPECT_EQ(get[0].payloadI32(2), 0x13000000 | commandId);
  EXPECT_EQ(get[0].payloadI32(6), 82000);
  EXPECT_EQ(get[0].payloadI32(10), contact);
  EXPECT_EQ(get[0].payloadI32(14), 0);
  EXPECT_EQ(get[0].payloadI32(30), 0x10040);
  EXPECT_EQ(get[0].payloadI32(34), 0);
  EXPECT_EQ(get[0].payloadI32(38), 0);
  EXPECT_FALSE(get[0].hasText);

  const auto set = host.messages(HM_UI_SET_STATE);
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set[0].payload.size(), 74u);
  EXPECT_EQ(set[0].payloadI32(2), 82001);
  EXPECT_EQ(set[0].payloadI32(6), 30);
  EXPECT_EQ(set[0].payloadI32(30), 1);
  EXPECT_EQ(set[0].payloadI32(34), -1);
  EXPECT_EQ(set[0].payloadI32(38), 1);

  host.setUiValue(contact, std::nullopt);
  EXPECT_EQ(GetUiItemValue(0x13000000 | commandId, 82000, contact, true), nullptr);
}

}  // namespace
