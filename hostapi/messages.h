// Message ids of the host protocol, the plug-in's identity and the host's
// own contact columns.
#pragma once

#include <cstdint>

namespace Vardok {

// Messages the host sends to the plug-in.
constexpr uint32_t HM_ATTACH_CORE = 20001;
constexpr uint32_t HM_DETACH_CORE = 20002;
constexpr uint32_t HM_PROBE_1 = 20020;
constexpr uint32_t HM_PROBE_2 = 20021;
constexpr uint32_t HM_UPGRADE = 20030;
constexpr uint32_t HM_SETUP_COLUMNS = 21001;
constexpr uint32_t HM_SETUP_UI = 22000;
constexpr uint32_t HM_START = 22100;
constexpr uint32_t HM_START_ACK = 22101;
constexpr uint32_t HM_ACTION = 22200;
constexpr uint32_t HM_CONTACT_REMOVING = 24002;
constexpr uint32_t HM_CONTACT_NEW = 24003;
constexpr uint32_t HM_CONTACT_CHANGED = 24006;
constexpr uint32_t HM_ID_NET = 30010;
constexpr uint32_t HM_ID_TYPE_BITS = 30011;
constexpr uint32_t HM_ID_RESERVED_1 = 30012;
constexpr uint32_t HM_ID_TAG = 30013;
constexpr uint32_t HM_ID_PLATFORM_TAG = 30014;
constexpr uint32_t HM_ID_RESERVED_2 = 30015;
constexpr uint32_t HM_ID_NAME = 30016;
constexpr uint32_t HM_ID_NET_NAME = 30017;
constexpr uint32_t HM_CONTACT_ACTIVATE = 34001;
constexpr uint32_t HM_REGISTER_NOTIFICATIONS = 43002;

// Messages the plug-in sends to the host.
constexpr uint32_t HM_LOG = 1;
constexpr uint32_t HM_VERSION_TEXT = 26;
constexpr uint32_t HM_GET_INTERNET = 45;
constexpr uint32_t HM_CONTACT_COUNT = 201;
constexpr uint32_t HM_SET_STATUS = 234;
constexpr uint32_t HM_PLUGIN_VERSION = 245;
constexpr uint32_t HM_COLUMN_REGISTER = 1102;
constexpr uint32_t HM_UI_INSERT = 10101;
constexpr uint32_t HM_UI_CALL = 10103;
constexpr uint32_t HM_UI_GET_VALUE = 10106;
constexpr uint32_t HM_UI_SET_STATE = 10108;
constexpr uint32_t HM_ICON_REGISTER = 10130;
constexpr uint32_t HM_CONTACT_REFRESH = 12000;
constexpr uint32_t HM_NOTIFY_DEFINE = 43000;
constexpr uint32_t HM_NOTIFY_RAISE = 43001;
constexpr uint32_t HM_NOTIFY_SHOW = 774201;

// Routing of notifications and of the pop-up service.
constexpr int32_t kNotifyRouteType = 3;
constexpr int32_t kNotifyRouteTarget = 8;
constexpr int32_t kPopupRouteType = 774;
constexpr int32_t kPopupRouteTarget = -1;

// Log levels.
constexpr int kLogAlways = 256;
constexpr int kLogResult = 8;
constexpr int kLogError = 32;
// How the plug-in's line saying that checks run late begins (kBehindLog), so
// that a host can show it.
constexpr char kLatenessLogPrefix[] = "Vardok: checks are running late";

// The plug-in's identity.
constexpr int kNetwork = 82;
constexpr int kOldNetwork = 80;      // contacts of earlier releases
constexpr int kTypeBits = 292;
extern const char kPluginName[];     // "Vardok"
extern const char kPluginTag[];      // "VARDOK"
extern const char kPlatformTag[];    // "W98"

// The contact table and the host's own columns.
constexpr int kContactTable = 1;
constexpr int kColumnNetwork = 1;
constexpr int kColumnStatus = 2;
constexpr int kColumnDisplay = 8;
constexpr int kColumnIcon = 30;
constexpr int kColumnDescription = 34;

// Packed plug-in version of the first release that needs no migration (1.3.0).
constexpr int32_t kVersionNoMigration = 0x10300000;

}  // namespace Vardok
