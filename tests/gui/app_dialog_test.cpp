// The main window and the about box without a device: settings, layout, data exchange,
// browsing and the about entry.
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

#include <QTimer>

#include "app/about_dialog.h"
#include "app/dialog_builder.h"
#include "app/flasher_app.h"
#include "controls/icon_button.h"
#include "gui/app_fixture.h"
#include "res/dialog_templates.h"
#include "res/resource_ids.h"
#include "res/resources.h"
#include "settings/serial_ports.h"
#include "station/profile_counter.h"
#ifndef Q_OS_WIN
#include <sys/resource.h>

#include <csignal>

#include "support/held_port.h"
#include "support/pty_pair.h"
#include "support/scratch_folder.h"
#endif

namespace korvane::test {
namespace {

using AppDialog = AppTest;

QComboBox* PortBox(FlasherDialog& dialog) {
    return qobject_cast<QComboBox*>(dialog.Control(res::kPortBox));
}

TEST_F(AppDialog, FirstStartWithAnEmptyProfileShowsTheDefaults) {
    auto dialog = OpenDialog();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Korvane-V5.0"));
    EXPECT_EQ(TextOf(*dialog, res::kPackagePathEdit), QString());
    EXPECT_EQ(PortBox(*dialog)->currentIndex(), 0);
    EXPECT_EQ(TextOf(*dialog, res::kPortBox), QStringLiteral("COM1"));
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("1"));
#ifdef Q_OS_WIN
    // COM1 is the system's own port of that name.
    EXPECT_TRUE(PortBox(*dialog)->toolTip().startsWith(QStringLiteral("COM1:\n")));
#else
    // COM1 is /dev/ttyS0 here, and the operator can see so.
    EXPECT_TRUE(PortBox(*dialog)->toolTip().startsWith(QStringLiteral("/dev/ttyS0\n")));
    EXPECT_TRUE(PortBox(*dialog)->toolTip().endsWith(
        QStringLiteral("  COM number:   COM1 (default: /dev/ttyS0)")));
#endif

    QStringList items;
    for (int i = 0; i < PortBox(*dialog)->count(); ++i) {
        items << PortBox(*dialog)->itemText(i);
    }
    EXPECT_EQ(items, QStringList({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}));
    // Hidden in the template, shown at initialisation; Reset stays hidden for good.
    EXPECT_TRUE(dialog->Control(res::kSequenceNumberLabel)->isVisible());
    EXPECT_TRUE(dialog->Control(res::kSequenceNumberEdit)->isVisible());
    EXPECT_FALSE(dialog->Control(res::kReset)->isVisible());
    EXPECT_TRUE(qobject_cast<QPushButton*>(dialog->Control(res::kOk))->isDefault());
}

TEST_F(AppDialog, ALineThatSharesAServerButCountsPerStationIsWarnedOf) {
    WriteProfileFile(
        QStringLiteral("[Journal]\nDatabase=postgresql://flasher@127.0.0.1:1/production\n"));
    auto dialog = OpenDialog();
    EXPECT_TRUE(dialog->Control(res::kStatusLine)
                    ->toolTip()
                    .contains(QStringLiteral("will give out the same numbers")))
        << dialog->Control(res::kStatusLine)->toolTip().toStdString();
}

// Started as the program starts, not through a fixture that registers the icons.
TEST_F(AppDialog, CommandButtonsCarryTheirIconsWhenTheProgramStarts) {
    for (const int id : res::kIconIds) {
        UnregisterIcon(id);
    }
    std::vector<bool> withIcon;
    QTimer inspect;
    QObject::connect(&inspect, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<FlasherDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            return;
        }
        inspect.stop();
        for (const int id : {res::kOk, res::kCancel, res::kReset}) {
            withIcon.push_back(static_cast<IconButton*>(dialog->Control(id))->IconIn() != nullptr);
        }
        dialog->reject();
    });
    inspect.start(5);
    static_cast<FlasherApp*>(qApp)->InitInstance();
    EXPECT_EQ(withIcon, std::vector<bool>({true, true, true}));
}

TEST_F(AppDialog, ControlsSitWhereTheTemplatePutsThemInDialogUnits) {
    auto dialog = OpenDialog();
    EXPECT_EQ(dialog->font().family(), QStringLiteral("宋体"));
    EXPECT_EQ(dialog->font().pointSize(), 9);
    const DialogBaseUnits units = BaseUnitsOf(dialog->font());
    ASSERT_GT(units.x, 0);
    ASSERT_GT(units.y, units.x);
    EXPECT_EQ(dialog->size(), QSize((322 * units.x + 2) / 4, (149 * units.y + 4) / 8));
    EXPECT_EQ(dialog->Control(res::kOk)->geometry(), DialogUnitsToPixels(units, 157, 116, 74, 26));
    EXPECT_EQ(dialog->Control(res::kPackagePathEdit)->geometry(),
              DialogUnitsToPixels(units, 7, 27, 290, 14));
    // The bar's border is drawn around it, inside the template's rectangle.
    QWidget* bar = dialog->Control(res::kProgressBar);
    EXPECT_EQ(bar->parentWidget()->geometry(), DialogUnitsToPixels(units, 7, 68, 307, 21));
    EXPECT_EQ(bar->geometry(),
              QRect(1, 1, bar->parentWidget()->width() - 2, bar->parentWidget()->height() - 2));
    // Every control lies inside the window.
    for (const auto& control : res::FindDialogTemplate(res::kMainDialog)->controls) {
        const QRect r = DialogUnitsToPixels(units, control.x, control.y, control.width, 1);
        EXPECT_TRUE(dialog->rect().contains(r)) << control.id;
    }
}

TEST_F(AppDialog, ClosingSavesFileSnAndPortButNeverANumberOutOfRange) {
    {
        auto dialog = OpenDialog();
        // A comma is part of the INI file's syntax: the path is quoted there.
        SetText(*dialog, res::kPackagePathEdit, "/data/line 3, bay 2/pkg.bin");
        PortBox(*dialog)->setCurrentIndex(7);
        SetText(*dialog, res::kSequenceNumberEdit, "123");
        PressKey(dialog.get(), Qt::Key_Escape);
        EXPECT_FALSE(dialog->isVisible());
    }
    QString profile = ProfileOnDisk();
#ifdef Q_OS_WIN
    const char* fileEntry = "File=/data/line 3, bay 2/pkg.bin";  // the registry: as it is
#else
    const char* fileEntry = "File=\"/data/line 3, bay 2/pkg.bin\"";
#endif
    EXPECT_TRUE(profile.contains(fileEntry)) << profile.toStdString();
    EXPECT_TRUE(profile.contains("Port=7")) << profile.toStdString();
    EXPECT_TRUE(profile.contains("SN=123")) << profile.toStdString();

    // A number out of range is prompted for, and the dialog still closes; the profile
    // keeps its last valid number, so that one typo does not stop the station.
    auto dialog = OpenDialog();
    EXPECT_EQ(TextOf(*dialog, res::kPackagePathEdit),
              QStringLiteral("/data/line 3, bay 2/pkg.bin"));
    EXPECT_EQ(PortBox(*dialog)->currentIndex(), 7);
    SetText(*dialog, res::kSequenceNumberEdit, "0");
    QString prompt;
    ModalAnswer answer([&](QWidget* modal) {
        prompt = qobject_cast<QMessageBox*>(modal)->text();
        modal->close();
    });
    Click(dialog->Control(res::kCancel));
    EXPECT_EQ(prompt, QStringLiteral("Please enter an integer between 1 and 99999."));
    EXPECT_FALSE(dialog->isVisible());
    profile = ProfileOnDisk();
    EXPECT_TRUE(profile.contains("SN=123")) << profile.toStdString();
    EXPECT_TRUE(profile.contains("Port=7")) << profile.toStdString();
    // The next start shows it.
    dialog = OpenDialog();
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("123"));
}

TEST_F(AppDialog, ClosingNeverTakesBackANumberAnotherProgramGaveOut) {
    WriteProfileFile("[Setting]\nFile=a.bin\nPort=1\nSN=41\n");
    auto dialog = OpenDialog();
    // Another program numbers devices while the window is open.
    WriteProfileFile("[Setting]\nFile=a.bin\nPort=1\nSN=1000\n");
    PortBox(*dialog)->setCurrentIndex(3);
    Click(dialog->Control(res::kCancel));
    const QString profile = ProfileOnDisk();
    EXPECT_TRUE(profile.contains("SN=1000")) << profile.toStdString();
    EXPECT_TRUE(profile.contains("Port=3")) << profile.toStdString();
}

TEST_F(AppDialog, ClosingSaysSoWhenATypedNumberCannotBeKept) {
    WriteProfileFile("[Setting]\nFile=a.bin\nPort=1\nSN=41\n");
    auto dialog = OpenDialog();
    ProfileCounter other;
    std::string why;
    ASSERT_TRUE(other.Take(std::nullopt, why)) << why;
    SetText(*dialog, res::kSequenceNumberEdit, QStringLiteral("500"));
    QString said;
    ModalAnswer answer([&said](QWidget* modal) {
        said = qobject_cast<QMessageBox*>(modal)->text();
        modal->close();
    });
    Click(dialog->Control(res::kCancel));
    other.Give();
    EXPECT_TRUE(said.startsWith(QStringLiteral("The sequence number 500 was not saved.")))
        << said.toStdString();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(ProfileOnDisk().contains("SN=41")) << ProfileOnDisk().toStdString();
}

#ifndef Q_OS_WIN
// The disk fills up as the window closes: a file may grow to 200 bytes, room for a lock
// file but not for the new profile. Whatever was saved stays, the sequence number above
// all (Qt's settings writer alone left the profile cut off in the new File, and no SN).
TEST_F(AppDialog, ClosingOnAFullDiskLeavesTheProfileAsItWas) {
    const QString before = QStringLiteral("[Setting]\nFile=a.bin\nPort=1\nSN=12345\n");
    WriteProfileFile(before);
    auto dialog = OpenDialog();
    SetText(*dialog, res::kPackagePathEdit, "/data/" + QString(400, 'p') + ".bin");
    const auto ignored = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit full{200, limit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &full);
    Click(dialog->Control(res::kCancel));
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, ignored);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(ProfileOnDisk().toStdString(), before.toStdString());
}
#endif

TEST_F(AppDialog, ChoosingAFileRewritesEveryControlFromTheStoredValues) {
    WriteProfileFile("[Setting]\nFile=old.bin\nPort=2\nSN=9\n");
    auto dialog = OpenDialog();
    ASSERT_EQ(PortBox(*dialog)->currentIndex(), 2);
    // Changed but never taken by Update.
    PortBox(*dialog)->setCurrentIndex(5);
    SetText(*dialog, res::kSequenceNumberEdit, "77");

    const QString chosen = QString::fromStdString(configHome) + "/new.bin";
    QStringList filters;
    QString suffix;
    ModalAnswer answer([&](QWidget* modal) {
        auto* fileDialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(fileDialog, nullptr);
        filters = fileDialog->nameFilters();
        suffix = fileDialog->defaultSuffix();
        // Typed into the file name field, as an operator would: Windows' file dialog does
        // not take a selection made by a program that names a file not yet there.
        fileDialog->findChild<QLineEdit*>("fileNameEdit")->setText(chosen);
        static_cast<QDialog*>(fileDialog)->accept();
    });
    Click(dialog->Control(res::kBrowseButton));
    ASSERT_TRUE(answer.Answered());
    EXPECT_EQ(filters, QStringList({"Data Files(*.bin)"}));
    EXPECT_EQ(suffix, QStringLiteral("bin"));
    EXPECT_EQ(TextOf(*dialog, res::kPackagePathEdit), QDir::toNativeSeparators(chosen));
    EXPECT_EQ(PortBox(*dialog)->currentIndex(), 2);
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("9"));

    // Cancelled, the browse changes nothing.
    PortBox(*dialog)->setCurrentIndex(4);
    ModalAnswer cancel([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
    Click(dialog->Control(res::kBrowseButton));
    EXPECT_EQ(PortBox(*dialog)->currentIndex(), 4);
}

// The words of `korvane-flash ports` for the chosen port, its holder among them.
#ifndef Q_OS_WIN
TEST_F(AppDialog, PortBoxTooltipDescribesTheChosenPortAsTheToolListsIt) {
    testing::PtyPair line;
    setenv("KORVANE_COM2", line.Path().c_str(), 1);
    testing::LockFolderOfOurOwn locks(configHome + "/locks");
    const std::string mapping =
        "\n  COM number:   COM2 (environment: KORVANE_COM2=" + line.Path() + ")";
    auto dialog = OpenDialog();
    {
        testing::PortHolder other(line.Path());
        PortBox(*dialog)->setCurrentIndex(1);
        EXPECT_EQ(PortBox(*dialog)->toolTip().toStdString(),
                  line.Path() + "\n  in use:       by " + other.Description() + mapping);
    }
    // The other program lets go while the window stays open: the next hover says so.
    QHelpEvent hover(QEvent::ToolTip, QPoint(2, 2), PortBox(*dialog)->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(PortBox(*dialog), &hover);
    unsetenv("KORVANE_COM2");
    EXPECT_EQ(PortBox(*dialog)->toolTip().toStdString(),
              line.Path() + "\n  in use:       no" + mapping);
}

TEST_F(AppDialog, PortNumbersResolveThroughTheEnvironmentThenTheProfile) {
    WriteProfileFile(QStringLiteral(
        "[Setting]\nCOM2=/wrong\n\n[Ports]\nCOM2=/dev/ttyUSB0\nCOM3 = \"/dev/my port\"\n"));
    EXPECT_EQ(ResolvePort(2).device, "/dev/ttyUSB0");
    EXPECT_EQ(ResolvePort(3).device, "/dev/my port");
    EXPECT_EQ(ResolvePort(4).device, "/dev/ttyS3");
    EXPECT_EQ(ResolvePort(1).device, "/dev/ttyS0");
    testing::PtyPair line;
    setenv("KORVANE_COM2", line.Path().c_str(), 1);
    setenv("KORVANE_COM7", line.Path().c_str(), 1);
    EXPECT_EQ(ResolvePort(2).device, line.Path());
    EXPECT_EQ(ResolvePort(7).device, line.Path());
    SerialPort port;
    EXPECT_TRUE(port.OpenDevice(ChoosePort(QStringLiteral("COM7"), 0)->device, 115200));
    unsetenv("KORVANE_COM2");
    unsetenv("KORVANE_COM7");
}

TEST(StableNames, AreTheLinksOfTheFolderThatLeadToTheDevice) {
    testing::PtyPair line;
    const QString folder = QString::fromStdString(testing::TempFile("by-id"));
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile::link(QStringLiteral("/dev/null"), folder + "/usb-Other_B2-if00");
    QFile::link(QString::fromStdString(line.Path()), folder + "/usb-Maker_A1-if00");
    EXPECT_EQ(StableNameOf(QString::fromStdString(line.Path()), folder),
              folder + "/usb-Maker_A1-if00");
    EXPECT_EQ(StableNameOf(QStringLiteral("/dev/zero"), folder), QString());
    QDir(folder).removeRecursively();
}
#endif

TEST(NameFilters, ClassicFiltersBecomeFileDialogFilters) {
    EXPECT_EQ(NameFilters("Data Files(*.bin)|*.bin||"), QStringList({"Data Files(*.bin)"}));
    EXPECT_EQ(NameFilters("Images|*.bin;*.hex|All|*.*||"),
              QStringList({"Images (*.bin *.hex)", "All (*.*)"}));
    EXPECT_TRUE(NameFilters("").isEmpty());
}

TEST_F(AppDialog, TheAboutBoxOpensFromTheContextMenu) {
    auto dialog = OpenDialog();
    QStringList menuTexts;
    bool menuDone = false;
    Sampler chooser([&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr || menuDone) {
            return;
        }
        menuDone = true;
        for (QAction* action : menu->actions()) {
            menuTexts << action->text();
        }
        menu->setActiveAction(menu->actions().last());
        PressKey(menu, Qt::Key_Return);
    });
    QString caption;
    QStringList texts;
    bool hasIcon = false;
    QString okText;
    ModalAnswer answer([&](QWidget* modal) {
        auto* about = qobject_cast<AboutDialog*>(modal);
        ASSERT_NE(about, nullptr);
        caption = about->windowTitle();
        for (QLabel* label : about->findChildren<QLabel*>()) {
            if (!label->pixmap().isNull()) {
                hasIcon = label->pixmap().size() == QSize(32, 32);
            } else {
                texts << label->text();
            }
        }
        auto* ok = about->findChild<QPushButton*>();
        okText = ok->text();
        Click(ok);
    });
    const QPoint at(20, 20);
    QContextMenuEvent rightClick(QContextMenuEvent::Mouse, at, dialog->mapToGlobal(at));
    QApplication::sendEvent(dialog.get(), &rightClick);

    EXPECT_EQ(menuTexts, QStringList({QStringLiteral("关于 Korvane(&A)...")}));
    ASSERT_TRUE(answer.Answered());
    EXPECT_EQ(caption, QStringLiteral("关于 Korvane"));
    EXPECT_TRUE(texts.contains(QStringLiteral("Korvane 2.0 版")));
    EXPECT_EQ(texts.size(), 2);
    EXPECT_TRUE(hasIcon);
    EXPECT_EQ(okText, QStringLiteral("确定"));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(dialog->isVisible());
}

}  // namespace
}  // namespace korvane::test
