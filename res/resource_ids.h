// Resource and control identifiers: the numbers the dialog templates, the string table and
// the icons are known by.
#pragma once

namespace korvane::res {

// Dialog templates.
constexpr int kAboutDialog = 100;
constexpr int kMainDialog = 102;

// Strings.
constexpr int kAboutMenuText = 101;

// Icons.
constexpr int kApplicationIcon = 128;
constexpr int kCancelIcon = 130;
constexpr int kResetIcon = 131;
constexpr int kUpdateIcon = 132;

// The about entry's command in the system menu. System commands keep their low four bits
// for the platform, so the entry is recognised with those bits cleared.
constexpr int kAboutCommand = 0x0010;

// Controls. A control that is never addressed has no identifier of its own.
constexpr int kNoId = -1;
constexpr int kOk = 1;  // Update
constexpr int kCancel = 2;
constexpr int kReset = 8;
constexpr int kSequenceNumberEdit = 1000;
constexpr int kPackagePathEdit = 1001;
constexpr int kProgressBar = 1002;
constexpr int kStatusLine = 1003;
constexpr int kBrowseButton = 1006;
constexpr int kPortBox = 1007;
constexpr int kClock = 1018;
constexpr int kSequenceNumberLabel = 1019;

}  // namespace korvane::res
