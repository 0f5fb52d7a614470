#include "res/dialog_templates.h"

#include "res/resource_ids.h"

namespace korvane::res {

namespace {

using namespace style;
using C = ControlClass;

constexpr char kDialogFont[] = "宋体";
constexpr int kDialogPointSize = 9;

const DialogTemplate kAbout = {
    kAboutDialog,
    "关于 Korvane",
    kDialogFont,
    kDialogPointSize,
    235,
    55,
    kModalFrame | kPopup | kCaption | kSysMenu,
    0,
    {
        {kNoId, C::kStatic, "#128", 11, 17, 20, 20, kIcon | kVisible, {}},
        {kNoId, C::kStatic, "Korvane 2.0 版", 40, 10, 119, 8, kNoPrefix | kVisible, {}},
        {kNoId, C::kStatic, "串口固件与数据烧录工具", 40, 25, 119, 8, kNoPrefix | kVisible, {}},
        {kOk,
         C::kButton,
         "确定",
         178,
         7,
         50,
         14,
         kDefPushButton | kGroup | kTabStop | kVisible,
         {}},
    },
};

const DialogTemplate kMain = {
    kMainDialog,
    "Korvane-V5.0",
    kDialogFont,
    kDialogPointSize,
    322,
    149,
    kModalFrame | kPopup | kVisible | kCaption | kSysMenu,
    kAppWindow,
    {
        {kNoId, C::kStatic, "Serial Port:", 8, 7, 49, 8, kRight | kVisible, {}},
        {kPortBox,
         C::kComboBox,
         "",
         57,
         5,
         77,
         121,
         kDropDownList | kVScroll | kTabStop | kVisible,
         {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}},
        // The sequence number's label and edit are hidden here and shown at initialisation.
        {kSequenceNumberLabel, C::kStatic, "S/N:", 237, 10, 17, 8, kRight, {}},
        {kSequenceNumberEdit, C::kEdit, "", 260, 6, 54, 14, kAutoHScroll | kBorder | kTabStop, {}},
        {kPackagePathEdit,
         C::kEdit,
         "",
         7,
         27,
         290,
         14,
         kAutoHScroll | kBorder | kTabStop | kVisible,
         {}},
        {kBrowseButton, C::kButton, "...", 297, 27, 17, 14, kTabStop | kVisible, {}},
        {kStatusLine, C::kStatic, "", 7, 52, 265, 14, kCenterImage | kVisible, {}},
        {kClock, C::kStatic, "", 276, 52, 38, 14, kRight | kCenterImage | kVisible, {}},
        {kProgressBar, C::kProgress, "", 7, 68, 307, 21, kBorder | kVisible, {}},
        {kReset, C::kButton, "Reset", 75, 116, 74, 26, kTabStop, {}},
        {kOk, C::kButton, "Update", 157, 116, 74, 26, kDefPushButton | kTabStop | kVisible, {}},
        {kCancel, C::kButton, "Cancel", 240, 116, 74, 26, kTabStop | kVisible, {}},
    },
};

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    switch (id) {
        case kAboutDialog:
            return &kAbout;
        case kMainDialog:
            return &kMain;
        default:
            return nullptr;
    }
}

}  // namespace korvane::res
