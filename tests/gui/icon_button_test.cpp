#include <gtest/gtest.h>

#include <QApplication>
#include <QFocusEvent>
#include <QMouseEvent>
#include <QPixmap>
#include <memory>

#include "controls/icon_button.h"
#include "gui/gui_test_support.h"

namespace korvane {
namespace {

using test::BoxOf;
using test::ColorAt;
using test::Render;

constexpr int kHoverIcon = 132;
constexpr int kRestIcon = 133;
constexpr COLORREF kHoverInk = MakeColor(0, 0, 200);
constexpr COLORREF kRestInk = MakeColor(0, 150, 0);

QIcon SolidIcon(COLORREF color) {
    QPixmap pixmap(32, 32);
    pixmap.fill(ToQColor(color));
    return QIcon(pixmap);
}

class IconButtonTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        RegisterIcon(kHoverIcon, SolidIcon(kHoverInk));
        RegisterIcon(kRestIcon, SolidIcon(kRestInk));
    }
    static void TearDownTestSuite() {
        UnregisterIcon(kHoverIcon);
        UnregisterIcon(kRestIcon);
    }

    void SetUp() override {
        parent.resize(300, 200);
        button = new IconButton(QStringLiteral("Update"), &parent);
        button->setGeometry(0, 0, 100, 40);
        button->SetIcon(kHoverIcon, 0, 32, 32);
        parent.show();
    }
    void TearDown() override {
        if (QWidget::mouseGrabber() != nullptr) {
            QWidget::mouseGrabber()->releaseMouse();
        }
    }

    void Move(QPoint at, Qt::MouseButtons buttons = Qt::NoButton) {
        QMouseEvent event(QEvent::MouseMove, QPointF(at), QPointF(button->mapToGlobal(at)),
                          Qt::NoButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(button, &event);
    }
    void Click(QPoint at) {
        const QPointF global(button->mapToGlobal(at));
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), global, Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(button, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at), global, Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(button, &release);
    }
    bool Grabbing() const { return QWidget::mouseGrabber() == button; }
    bool HasBorder() {
        const QImage image = Render(*button);
        return ColorAt(image, 50, 0) != test::kFace || ColorAt(image, 50, 39) != test::kFace;
    }

    QWidget parent;
    IconButton* button = nullptr;
};

TEST_F(IconButtonTest, AtRestIconSitsLeftAndCaptionIsCentredInTheRest) {
    const QImage image = Render(*button);
    EXPECT_EQ(BoxOf(image, kHoverInk), QRect(3, 4, 32, 32));
    const QRect caption = BoxOf(image, test::kText);
    ASSERT_FALSE(caption.isEmpty());
    EXPECT_GT(caption.left(), 35);
    EXPECT_NEAR((caption.left() + caption.right() + 1) / 2.0, (35 + 100) / 2.0, 2);
    EXPECT_NEAR((caption.top() + caption.bottom() + 1) / 2.0, 20, 3);
    // No border at rest: the edges are face.
    EXPECT_EQ(BoxOf(image, test::kFace, QRect(0, 0, 100, 1)), QRect(0, 0, 100, 1));
    EXPECT_EQ(BoxOf(image, test::kFace, QRect(99, 0, 1, 40)), QRect(99, 0, 1, 40));
}

TEST_F(IconButtonTest, LayoutsPlaceIconAndCaption) {
    button->resize(100, 60);
    button->SetShowText(false);
    QImage image = Render(*button);
    EXPECT_EQ(BoxOf(image, kHoverInk), QRect(34, 14, 32, 32));
    EXPECT_TRUE(BoxOf(image, test::kText).isEmpty());

    button->SetAlign(IconButton::IconAbove);
    image = Render(*button);
    EXPECT_EQ(BoxOf(image, kHoverInk), QRect(34, 14, 32, 32));

    button->SetShowText(true);
    image = Render(*button);
    EXPECT_EQ(BoxOf(image, kHoverInk), QRect(34, 0, 32, 32));
    const QRect caption = BoxOf(image, test::kText);
    EXPECT_GE(caption.top(), 32);
    EXPECT_NEAR((caption.top() + caption.bottom() + 1) / 2.0, (32 + 60) / 2.0, 3);
    EXPECT_NEAR((caption.left() + caption.right() + 1) / 2.0, 50, 2);

    // Any other placement leaves the icon at the corner and the caption on the whole face.
    button->SetAlign(7);
    image = Render(*button);
    EXPECT_EQ(BoxOf(image, kHoverInk).topLeft(), QPoint(0, 0));
}

TEST_F(IconButtonTest, HoverShowsRaisedBorderAndLeavingRemovesIt) {
    Move(QPoint(50, 20));
    EXPECT_TRUE(button->Hover());
    EXPECT_TRUE(Grabbing());
    const QImage image = Render(*button);
    EXPECT_EQ(ColorAt(image, 0, 0), test::kHighlight);
    EXPECT_EQ(ColorAt(image, 50, 0), test::kHighlight);
    EXPECT_EQ(ColorAt(image, 0, 38), test::kHighlight);
    EXPECT_EQ(ColorAt(image, 0, 39), test::kShadow);
    EXPECT_EQ(ColorAt(image, 50, 39), test::kShadow);
    EXPECT_EQ(ColorAt(image, 99, 0), test::kShadow);
    EXPECT_EQ(ColorAt(image, 1, 1), test::kFace);

    Move(QPoint(100, 20));  // the right edge counts as outside
    EXPECT_FALSE(button->Hover());
    EXPECT_FALSE(Grabbing());
    EXPECT_FALSE(HasBorder());
}

TEST_F(IconButtonTest, LeftButtonHeldBlocksHoverAndKeepsTheGrab) {
    Move(QPoint(50, 20), Qt::LeftButton);  // arriving while dragging
    EXPECT_FALSE(button->Hover());
    EXPECT_FALSE(Grabbing());

    Move(QPoint(50, 20));
    Move(QPoint(150, 20), Qt::LeftButton);  // leaving while the button is held
    EXPECT_FALSE(button->Hover());
    EXPECT_TRUE(Grabbing());
    EXPECT_FALSE(HasBorder());
    Move(QPoint(150, 20));
    EXPECT_FALSE(Grabbing());
}

TEST_F(IconButtonTest, FocusLossEndsHoverButKeepsTheGrab) {
    Move(QPoint(50, 20));
    QFocusEvent focusOut(QEvent::FocusOut, Qt::OtherFocusReason);
    QApplication::sendEvent(button, &focusOut);
    EXPECT_FALSE(button->Hover());
    EXPECT_TRUE(Grabbing());
    EXPECT_FALSE(HasBorder());
}

TEST_F(IconButtonTest, DisabledOrHiddenWhileHoveringGivesTheGrabBack) {
    Move(QPoint(50, 20));
    ASSERT_TRUE(Grabbing());
    button->setEnabled(false);
    EXPECT_FALSE(Grabbing());
    EXPECT_FALSE(button->Hover());
    EXPECT_FALSE(HasBorder());
    button->setEnabled(true);
    Move(QPoint(50, 20));
    ASSERT_TRUE(Grabbing());
    button->hide();
    EXPECT_FALSE(Grabbing());
    EXPECT_FALSE(button->Hover());
}

TEST_F(IconButtonTest, ClickGivesTheGrabBackButKeepsTheHoverLook) {
    Move(QPoint(50, 20));
    Click(QPoint(50, 20));
    EXPECT_TRUE(button->Hover());
    EXPECT_FALSE(Grabbing());
    EXPECT_TRUE(HasBorder());
    Move(QPoint(50, 21));  // takes the grab again
    EXPECT_TRUE(Grabbing());
    Move(QPoint(-1, 21));
    EXPECT_FALSE(button->Hover());
    EXPECT_FALSE(Grabbing());
}

TEST_F(IconButtonTest, ThreeDimensionalStyleIgnoresTheMouse) {
    button->SetFlat(false);
    Move(QPoint(50, 20));
    EXPECT_FALSE(button->Hover());
    EXPECT_FALSE(Grabbing());
}

TEST_F(IconButtonTest, PressedShiftsByOnePixelWithASunkenBorder) {
    const QRect restCaption = BoxOf(Render(*button), test::kText);
    button->setDown(true);
    const QImage image = Render(*button);
    EXPECT_EQ(BoxOf(image, kHoverInk), QRect(4, 5, 32, 32));
    EXPECT_EQ(BoxOf(image, test::kText), restCaption.translated(1, 1));
    EXPECT_EQ(ColorAt(image, 0, 0), test::kShadow);
    EXPECT_EQ(ColorAt(image, 0, 20), test::kShadow);
    EXPECT_EQ(ColorAt(image, 50, 39), test::kHighlight);
    EXPECT_EQ(ColorAt(image, 99, 20), test::kHighlight);
}

TEST_F(IconButtonTest, RestAndHoverUseTheirOwnImages) {
    button->SetIcon(kHoverIcon, kRestIcon, 32, 32);
    EXPECT_EQ(BoxOf(Render(*button), kRestInk), QRect(3, 4, 32, 32));
    Move(QPoint(50, 20));
    EXPECT_EQ(BoxOf(Render(*button), kHoverInk), QRect(3, 4, 32, 32));
}

TEST_F(IconButtonTest, DisabledDrawsIconAndCaptionEmbossed) {
    button->setEnabled(false);
    const QImage image = Render(*button);
    EXPECT_TRUE(BoxOf(image, kHoverInk).isEmpty());
    EXPECT_TRUE(BoxOf(image, test::kText).isEmpty());
    // The shadow copy lies over a highlight copy one pixel down and right.
    EXPECT_EQ(BoxOf(image, test::kShadow, QRect(0, 0, 40, 40)), QRect(3, 4, 32, 32));
    EXPECT_EQ(BoxOf(image, test::kHighlight, QRect(0, 0, 40, 40)), QRect(4, 5, 32, 32));
    const QRect area(36, 0, 64, 40);
    const QRect light = BoxOf(image, test::kHighlight, area);
    const QRect dark = BoxOf(image, test::kShadow, area);
    ASSERT_FALSE(light.isEmpty());
    ASSERT_FALSE(dark.isEmpty());
    EXPECT_EQ(light.bottomRight(), dark.bottomRight() + QPoint(1, 1));
}

TEST_F(IconButtonTest, SecondSetIconReleasesTheFirstIcons) {
    std::weak_ptr<const QPixmap> first = button->IconIn();
    EXPECT_EQ(button->IconIn(), button->IconOut());  // one image for both states
    button->SetIcon(kHoverIcon, kRestIcon, 32, 32);
    EXPECT_TRUE(first.expired());
    std::weak_ptr<const QPixmap> in = button->IconIn();
    std::weak_ptr<const QPixmap> out = button->IconOut();
    button->SetIcon(999, 0, 32, 32);  // not registered: no icon, caption uses the whole face
    EXPECT_TRUE(in.expired());
    EXPECT_TRUE(out.expired());
    const QRect caption = BoxOf(Render(*button), test::kText);
    EXPECT_NEAR((caption.left() + caption.right() + 1) / 2.0, 50, 2);
}

TEST_F(IconButtonTest, FocusedThreeDimensionalStyleHasFrameBorderAndFocusRectangle) {
    button->SetFlat(false);
    QImage image(100, 40, QImage::Format_RGB32);
    {
        DrawSurface surface(&image, Rect{0, 0, 100, 40});
        button->DrawItem(surface, Rect{0, 0, 100, 40}, IconButton::ODS_FOCUS);
    }
    EXPECT_EQ(ColorAt(image, 0, 0), MakeColor(0, 0, 0));
    EXPECT_EQ(ColorAt(image, 99, 39), MakeColor(0, 0, 0));
    EXPECT_EQ(ColorAt(image, 1, 1), test::kHighlight);
    EXPECT_EQ(ColorAt(image, 2, 2), test::kLight);
    EXPECT_EQ(ColorAt(image, 98, 38), test::kDarkShadow);
    EXPECT_EQ(ColorAt(image, 97, 37), test::kShadow);
    const COLORREF inverted =
        MakeColor(255 - RedOf(test::kFace), 255 - GreenOf(test::kFace), 255 - BlueOf(test::kFace));
    // Dotted, 4 pixels inside the item rectangle (clear of the icon and caption here).
    EXPECT_EQ(ColorAt(image, 60, 4), inverted);
    EXPECT_EQ(ColorAt(image, 61, 4), test::kFace);
    EXPECT_EQ(ColorAt(image, 95, 21), inverted);
    EXPECT_EQ(ColorAt(image, 95, 20), test::kFace);
}

}  // namespace
}  // namespace korvane
