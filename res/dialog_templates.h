// The dialog templates as data: for each dialog its caption, font, size and style, and for
// each control its identifier, class, text, rectangle and style. Rectangles and sizes are
// in dialog units, which the window layer turns into pixels from the dialog's font.
#pragma once

#include <cstdint>
#include <vector>

namespace korvane::res {

// Window style bits, with the classic values so a template reads like its original.
namespace style {
// Any window.
constexpr uint32_t kVisible = 0x10000000;
constexpr uint32_t kBorder = 0x00800000;
constexpr uint32_t kVScroll = 0x00200000;
constexpr uint32_t kGroup = 0x00020000;
constexpr uint32_t kTabStop = 0x00010000;
// Dialogs.
constexpr uint32_t kPopup = 0x80000000;
constexpr uint32_t kCaption = 0x00C00000;
constexpr uint32_t kSysMenu = 0x00080000;
constexpr uint32_t kModalFrame = 0x00000080;
// Static texts.
constexpr uint32_t kRight = 0x00000002;
constexpr uint32_t kIcon = 0x00000003;
constexpr uint32_t kNoPrefix = 0x00000080;
constexpr uint32_t kCenterImage = 0x00000200;  // one line, vertically centred
// Edits.
constexpr uint32_t kAutoHScroll = 0x00000080;
// Buttons.
constexpr uint32_t kDefPushButton = 0x00000001;
// Combo boxes.
constexpr uint32_t kDropDownList = 0x00000003;
}  // namespace style

// Extended style: the window gets its own taskbar button.
constexpr uint32_t kAppWindow = 0x00040000;

enum class ControlClass { kStatic, kEdit, kButton, kComboBox, kProgress };

struct ControlTemplate {
    int id;
    ControlClass kind;
    const char* text;  // UTF-8; for an icon control the icon's id as "#128"
    int x;
    int y;
    int width;
    int height;
    uint32_t style;
    std::vector<const char*> items;  // a combo box's initial list, in order
};

struct DialogTemplate {
    int id;
    const char* caption;  // UTF-8
    const char* fontFace;
    int pointSize;
    int width;
    int height;
    uint32_t style;
    uint32_t extendedStyle;
    std::vector<ControlTemplate> controls;
};

// Template 100 (about box) or 102 (main dialog); nullptr for any other id.
const DialogTemplate* FindDialogTemplate(int id);

}  // namespace korvane::res
