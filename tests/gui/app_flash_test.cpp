// Flash runs started from the window against the simulated device on COM1: what the
// operator sees during and after a run, what the device ends up holding, and what the
// profile on disk holds at every moment.
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTextDocument>
#include <QTimerEvent>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "app/station_window.h"
#include "controls/gradient_progress.h"
#include "devsim/loader_firmware.h"
#include "flashing/status_texts.h"
#include "gui/app_fixture.h"
#include "gui/gui_test_support.h"
#include "platform/ticks.h"
#include "res/resource_ids.h"
#include "station/journal.h"
#include "support/flash_fixture.h"
#include "support/test_device.h"
#include "support/timing.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#include "devsim/pty_simulator.h"
#include "support/child_process.h"
#include "support/held_port.h"
#include "support/minisign.h"
#include "support/program_copy.h"
#include "support/pty_pair.h"
#endif

namespace korvane::test {
namespace {

using korvane::testing::Pattern;

const std::vector<PackageImage> kPackage = {
    {"DIAG.BIN", Pattern(700, 1)},
    {"MCU.BIN", Pattern(1500, 2)},
    {"CFG.BIN", Pattern(600, 3)},
    {"xx_LOGO.BIN", Pattern(1100, 4)},
};

class AppFlash : public AppTest {
protected:
    // A simulated device on COM1: one of the test's own, or the runner's when it has
    // these faults and this pace (the test is skipped otherwise; see support/test_device.h).
    void Attach(const devsim::DeviceFaults& faults = {}, uint32_t baudRate = 0) {
        device = std::make_unique<korvane::testing::TestDevice>(faults, baudRate);
        if (!device->Unsuited().empty()) {
            return;
        }
        ASSERT_TRUE(device->Start()) << device->ErrorText();
        // A device path stands in for COM1; a port named by number is COM1 itself.
        if (device->PortNumber() == 0) {
            qputenv("KORVANE_COM1", QByteArray::fromStdString(device->PortPath()));
        }
    }

    // A profile that chooses the package on COM1 with this sequence number. The one
    // simulated chip is flashed again and again: given a new number each time unless the
    // test asks for the question.
    std::string ChoosePackage(int sequenceNumber,
                              const std::vector<PackageImage>& images = kPackage,
                              const QString& rework = QStringLiteral("new")) {
        const std::string path = korvane::testing::WritePackage(images);
        WriteProfileFile(
            QString("[Setting]\nFile=%1\nPort=0\nSN=%2\n%3")
                .arg(QString::fromStdString(path))
                .arg(sequenceNumber)
                .arg(rework.isEmpty() ? QString() : "[Station]\nRework=" + rework + "\n"));
        return path;
    }

    // Presses Update with the mouse. The run starts once the click is over, with the next
    // events handled, and has ended when they have been.
    static void Update(FlasherDialog& dialog) {
        Click(dialog.Control(res::kOk));
        QCoreApplication::processEvents();
        ASSERT_FALSE(dialog.RunActive());
    }

    static bool CommandsEnabled(FlasherDialog& dialog) {
        return dialog.Control(res::kOk)->isEnabled() && dialog.Control(res::kCancel)->isEnabled() &&
               dialog.Control(res::kReset)->isEnabled();
    }

    static GradientProgress* Bar(FlasherDialog& dialog) {
        return static_cast<GradientProgress*>(dialog.Control(res::kProgressBar));
    }

    std::unique_ptr<korvane::testing::TestDevice> device;
};

std::string RecordText(const devsim::DeviceSnapshot& device) {
    return devsim::UnscrambleSerialRecord(device.Loader().SerialRecord());
}

TEST_F(AppFlash, AWholeFlashStartedWithTheMouse) {
    // The clock reads a time the test sets: it is moved one second on once the run has
    // been seen at 00:00, and the erase holds the run far longer than one tick of the
    // clock's one-second timer, so that tick lands inside the run however loaded the
    // machine is. The paced line keeps every chunk on the bar long enough to be seen.
    devsim::DeviceFaults faults;
    faults.eraseDelayMs = 2500;
    Attach(faults, 115200);
    KORVANE_SKIP_IF_UNSUITED(*device);
    const std::string path = ChoosePackage(41);
    auto dialog = OpenDialog();
    const qint64 start = 1700000000;
    qint64 now = start;
    dialog->SetWallClock([&now] { return now; });

    struct Seen {
        bool commandsEnabled;
        bool anyCommandEnabled;
        QString clock;
        int position;
    };
    std::vector<Seen> during;
    Sampler sampler([&] {
        if (dialog->RunActive()) {
            during.push_back({CommandsEnabled(*dialog),
                              dialog->Control(res::kOk)->isEnabled() ||
                                  dialog->Control(res::kCancel)->isEnabled(),
                              TextOf(*dialog, res::kClock), Bar(*dialog)->GetPos()});
            now = start + 1;
        }
    });
    Update(*dialog);

    EXPECT_EQ(TextOf(*dialog, res::kStatusLine).toStdString(),
              FormatText(status::kFinishedFile, path.c_str()));
    EXPECT_EQ(Bar(*dialog)->GetPos(), 100);
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("42"));
    EXPECT_TRUE(CommandsEnabled(*dialog));
    EXPECT_FALSE(dialog->Control(res::kReset)->isVisible());
    EXPECT_TRUE(dialog->Link().IsOpen()) << "the port stays open after a run";

    ASSERT_FALSE(during.empty());
    EXPECT_EQ(during.front().clock, QStringLiteral("00:00"));
    bool ticked = false;
    bool midway = false;
    for (const Seen& seen : during) {
        EXPECT_FALSE(seen.anyCommandEnabled);
        ticked = ticked || seen.clock == QStringLiteral("00:01");
        midway = midway || (seen.position > 0 && seen.position < 100);
    }
    EXPECT_TRUE(ticked) << "last clock: " << during.back().clock.toStdString();
    EXPECT_TRUE(midway);

    device->Inspect([&](const devsim::DeviceSnapshot& d) {
        const auto& loader = kPackage[0].bytes;
        EXPECT_TRUE(std::equal(loader.begin(), loader.end(), d.Flash().begin()));
        const auto& firmware = kPackage[1].bytes;
        EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), d.Loader().Firmware().begin()));
        EXPECT_EQ(d.Loader().DataBlocks().size(), 2u + 3u);
        const std::string record = RecordText(d);
        EXPECT_EQ(record.size(), 13u);
        EXPECT_EQ(record.substr(0, 4), "K352");
        EXPECT_EQ(record.substr(8), "00041");
        EXPECT_EQ(d.Loader().ClosingRequests(), 1);
    });
    // The advance is on disk before the window closes.
    EXPECT_TRUE(ProfileOnDisk().contains("SN=42")) << ProfileOnDisk().toStdString();

    // Status in blue, clock in red, whatever the palette says.
    const QImage image = Render(*dialog);
    const QRect statusArea = dialog->Control(res::kStatusLine)->geometry();
    const QRect clockArea = dialog->Control(res::kClock)->geometry();
    EXPECT_FALSE(BoxOf(image, MakeColor(0, 0, 255), statusArea).isEmpty());
    EXPECT_FALSE(BoxOf(image, MakeColor(255, 0, 0), clockArea).isEmpty());
    EXPECT_TRUE(BoxOf(image, MakeColor(0, 0, 255), clockArea).isEmpty());

    // Cancel closes the port and saves the choices.
    Click(dialog->Control(res::kCancel));
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(dialog->Link().IsOpen());
    const QString profile = ProfileOnDisk();
    EXPECT_TRUE(profile.contains("File=" + QString::fromStdString(path)));
    EXPECT_TRUE(profile.contains("Port=0"));
    EXPECT_TRUE(profile.contains("SN=42"));
}

TEST_F(AppFlash, EnterStartsARunFromIdle) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    const std::string path = ChoosePackage(5);
    auto dialog = OpenDialog();
    // Should Enter reach another button (the file dialog's, say), its window is closed.
    ModalAnswer stray([](QWidget* modal) { modal->close(); });
    PressKey(dialog->Control(res::kSequenceNumberEdit), Qt::Key_Return);
    EXPECT_FALSE(stray.Answered());
    ASSERT_TRUE(WaitUntil([&] { return !TextOf(*dialog, res::kStatusLine).isEmpty(); }, 10000));
    ASSERT_TRUE(WaitUntil([&] { return !dialog->RunActive(); }));
    EXPECT_EQ(TextOf(*dialog, res::kStatusLine).toStdString(),
              FormatText(status::kFinishedFile, path.c_str()));
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("6"));
}

TEST_F(AppFlash, EverySuccessfulRunAdvancesTheNumberOnDiskAtOnce) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    ChoosePackage(5);
    auto dialog = OpenDialog();
    // A Windows prefix keeps one journal for every test: only this test's runs count.
    const QString startedAt = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    for (int run = 1; run <= 3; ++run) {
        Update(*dialog);
        EXPECT_TRUE(ProfileOnDisk().contains(QString("SN=%1").arg(5 + run)))
            << "after run " << run << ": " << ProfileOnDisk().toStdString();
    }
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("8"));
    device->Inspect([](const devsim::DeviceSnapshot& d) {
        EXPECT_EQ(RecordText(d).substr(8), "00007");  // the last run's number
        EXPECT_EQ(d.Loader().ClosingRequests(), 3);
    });
    // The window records its runs in the station's journal as the tool does.
    std::vector<JournalRecord> records;
    QString error;
    JournalQuery thisTest;
    thisTest.since = startedAt;
    ASSERT_TRUE(Journal(Journal::DefaultPath()).Records(thisTest, records, error))
        << error.toStdString();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].sequenceNumber, 7);
    EXPECT_EQ(records[2].result, QStringLiteral("succeeded"));
    EXPECT_EQ(records[2].port, QStringLiteral("COM1"));
    EXPECT_EQ(records[2].entries.size(), kPackage.size());
    // The window is still open: the file above is all that a killed process would leave.
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(AppFlash, AJournalMovedAwayWhileTheWindowIsOpenIsMadeAgain) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    ChoosePackage(5);
    auto dialog = OpenDialog();
    Update(*dialog);
    const QString journal = Journal::DefaultPath();
    ASSERT_TRUE(QFile::rename(journal, journal + ".archived"));
    Update(*dialog);
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("7"));
    std::vector<JournalRecord> records;
    QString error;
    ASSERT_TRUE(Journal(journal).Records({}, records, error)) << error.toStdString();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].sequenceNumber, 6);
    EXPECT_EQ(records[0].result, QStringLiteral("succeeded"));
    QFile::remove(journal + ".archived");
}

TEST_F(AppFlash, ANumberOutOfRangeStartsNoRun) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    ChoosePackage(5);
    auto dialog = OpenDialog();
    for (const auto& [text, expected] :
         {std::pair<QString, QString>{"100000", "Please enter an integer between 1 and 99999."},
          {"0", "Please enter an integer between 1 and 99999."},
          {"12a", "Please enter an integer."}}) {
        SetText(*dialog, res::kSequenceNumberEdit, text);
        QString prompt;
        ModalAnswer answer([&](QWidget* modal) {
            prompt = qobject_cast<QMessageBox*>(modal)->text();
            modal->close();
        });
        Click(dialog->Control(res::kOk));
        ASSERT_TRUE(WaitUntil([&] { return answer.Answered(); })) << text.toStdString();
        EXPECT_EQ(prompt, expected);
    }
    WaitUntil([] { return false; }, 100);
    EXPECT_TRUE(device->Received().empty()) << "the port was touched";
    EXPECT_EQ(TextOf(*dialog, res::kStatusLine), QString());
    EXPECT_FALSE(dialog->Link().IsOpen());
}

TEST_F(AppFlash, ConnectionFailuresAreOneStatusLine) {
    // No device answers: the bootloader's read window passes, and the port is closed.
    devsim::DeviceFaults silent;
    silent.silent = true;
    Attach(silent);
    KORVANE_SKIP_IF_UNSUITED(*device);
    ChoosePackage(5);
    auto dialog = OpenDialog();
    Update(*dialog);
    EXPECT_EQ(TextOf(*dialog, res::kStatusLine), QStringLiteral("Failed to connect the device."));
    EXPECT_FALSE(dialog->Link().IsOpen());
    EXPECT_TRUE(CommandsEnabled(*dialog));
    EXPECT_EQ(TextOf(*dialog, res::kClock), QString());

#ifndef _WIN32
    // A port that cannot be opened. Only here can a test point COM1 at nothing; on
    // Windows every COMn that the port box offers may name a device of the machine.
    qputenv("KORVANE_COM1", QByteArray::fromStdString(configHome + "/no-such-port"));
    Update(*dialog);
    EXPECT_EQ(TextOf(*dialog, res::kStatusLine), QStringLiteral("Failed to open the serial port."));
    EXPECT_EQ(dialog->Control(res::kStatusLine)->toolTip().toStdString(),
              "Failed to open the serial port.\nThere is no device " + configHome +
                  "/no-such-port (the port box's tooltip names the device that each port "
                  "stands for)");
    EXPECT_TRUE(CommandsEnabled(*dialog));
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("5"));
#endif
}

TEST_F(AppFlash, AStatusTextOfAnyLengthIsShownWhole) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    ChoosePackage(5);
    auto dialog = OpenDialog();
    const std::string missing = configHome + "/" + std::string(400, 'p') + ".bin";
    SetText(*dialog, res::kPackagePathEdit, QString::fromStdString(missing));
    Update(*dialog);
    const std::string expected = FormatText(status::kFileNotOpened, missing.c_str());
    ASSERT_GT(expected.size(), 259u);
    EXPECT_EQ(TextOf(*dialog, res::kStatusLine).toStdString(), expected);
    // The whole name again under it, in the reason with the system's words.
    const std::string why = "\nThe package " + missing + " cannot be opened (";
    const std::string tip = dialog->Control(res::kStatusLine)->toolTip().toStdString();
    EXPECT_EQ(tip.substr(0, expected.size() + why.size()), expected + why) << tip;
}

// The holders of a port are found through the lock files and processes of POSIX systems,
// and the tool is started as a process of its own: neither has a Windows build here.
#ifndef _WIN32
// A bad station setting is refused with one sentence, the same in the tool, the station
// window and the dialog, never replaced by a default.
TEST_F(AppFlash, ABadStationSettingIsRefusedAlikeByTheToolAndBothWindows) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    const std::string path = korvane::testing::WritePackage(kPackage);
    const QString chosen =
        QString("[Setting]\nFile=%1\nPort=0\nSN=5\n").arg(QString::fromStdString(path));
    for (const QString bad :
         {"[Station]\nProbeMs=50\n", "[Station]\nPorts=COM3-COM1\n", "[Journal]\nCounter=shared\n",
          "[Journal]\nCounter=journal\nLease=many\n", "[Station]\nRework=maybe\n",
          "[Fixture]\nWiring=\"reset=rts,reset=dtr\"\n"}) {
        WriteProfileFile(chosen + bad);
        korvane::testing::ChildProcess tool(KORVANE_FLASH_EXE, {"--watch", path}, true);
        std::string said = tool.ReadAll();
        EXPECT_EQ(tool.Wait(), 2) << said;
        const std::string prefix = "korvane-flash: ";
        ASSERT_EQ(said.rfind(prefix, 0), 0u) << said;
        said = said.substr(prefix.size());
        said.erase(said.find_last_not_of('\n') + 1);
        EXPECT_NE(said.find(bad.section('\n', -2, -2).section('=', 0, 0).toStdString()),
                  std::string::npos)
            << said;

        StationWindow window(QString::fromStdString(path), {});
        EXPECT_EQ(window.Notice().toStdString(), said);
        PressKey(&window, Qt::Key_Space);
        EXPECT_FALSE(window.Watching());

        auto dialog = OpenDialog();
        Update(*dialog);
        EXPECT_EQ(TextOf(*dialog, res::kStatusLine).toStdString(), said);
    }
    EXPECT_TRUE(device->Received().empty());
}

TEST_F(AppFlash, AHeldPortIsNamedInTheStatusTooltip) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    ChoosePackage(5);
    korvane::testing::LockFolderOfOurOwn locks(configHome + "/locks");
    korvane::testing::PortHolder other(device->PortPath());
    auto dialog = OpenDialog();
    Update(*dialog);
    EXPECT_EQ(TextOf(*dialog, res::kStatusLine), QStringLiteral("Failed to open the serial port."));
    EXPECT_EQ(dialog->Control(res::kStatusLine)->toolTip().toStdString(),
              "Failed to open the serial port.\nIt is held by " + other.Description());
    EXPECT_TRUE(device->Received().empty());
}

// An adapter pulled out mid-run is said as soon as its port goes, not after the read
// window of a device that merely keeps quiet.
TEST_F(AppFlash, AnAdapterPulledOutMidRunIsSaidAtOnce) {
    devsim::DeviceFaults faults;
    faults.eraseDelayMs = 2000;
    devsim::PtySimulator slow(faults);
    ASSERT_TRUE(slow.Start());
    const std::string port = slow.PortPath();
    qputenv("KORVANE_COM1", QByteArray::fromStdString(port));
    ChoosePackage(5);
    auto dialog = OpenDialog();
    std::atomic<uint32_t> gone{0};
    std::thread pull([&] {
        // The erase command is in: the device is mid-run when it goes.
        korvane::testing::PollUntil([&] { return slow.Received().size() >= 5; });
        slow.Stop();
        gone = TickCount();
    });
    Update(*dialog);
    const uint32_t told = TickCount();
    pull.join();
    EXPECT_LT(TicksSince(gone, told), 1000u);
    EXPECT_NE(dialog->Control(res::kStatusLine)
                  ->toolTip()
                  .toStdString()
                  .find("he adapter of COM1 (" + port + ") went away"),
              std::string::npos)
        << dialog->Control(res::kStatusLine)->toolTip().toStdString();
    EXPECT_TRUE(CommandsEnabled(*dialog));
}
#endif

#ifndef _WIN32
// A device this user may not open. Root opens any: there the test runs itself again as
// nobody, on a terminal of root's.
TEST_F(AppFlash, APortThisUserMayNotOpenIsSaidInTheStatusTooltip) {
    korvane::testing::PtyPair line;
    std::string port = qEnvironmentVariable("KORVANE_TEST_NOT_MINE").toStdString();
    if (port.empty() && geteuid() == 0) {
        ASSERT_EQ(chmod(line.Path().c_str(), 0600), 0);
        // A copy of this program, which nobody may reach wherever the build tree is.
        const korvane::testing::ProgramCopy copy(
            QCoreApplication::applicationFilePath().toStdString());
        std::vector<std::string> command = korvane::testing::AsNobody();
        command.insert(command.end(),
                       {"env", "KORVANE_TEST_NOT_MINE=" + line.Path(), "HOME=/tmp", copy.Path(),
                        "--gtest_filter=AppFlash.APortThisUserMayNotOpenIsSaidInTheStatusTooltip"});
        korvane::testing::ChildProcess again(command.front(), {command.begin() + 1, command.end()},
                                             true);
        const std::string said = again.ReadAll();
        EXPECT_EQ(again.Wait(), 0) << said;
        EXPECT_NE(said.find("[  PASSED  ] 1 test"), std::string::npos) << said;
        return;
    }
    if (port.empty()) {
        port = line.Path();
        ASSERT_EQ(chmod(port.c_str(), 0), 0);
    }
    ChoosePackage(5);
    qputenv("KORVANE_COM1", QByteArray::fromStdString(port));
    auto dialog = OpenDialog();
    Update(*dialog);
    qunsetenv("KORVANE_COM1");
    EXPECT_EQ(
        dialog->Control(res::kStatusLine)->toolTip().toStdString(),
        "Failed to open the serial port.\nThis user may not open " + port + " (Permission denied)");
}
#endif

TEST_F(AppFlash, MarkupInANameIsShownAsText) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    ChoosePackage(5);
    auto dialog = OpenDialog();
    const std::string missing = configHome + "/<b>bold</b>.bin";
    SetText(*dialog, res::kPackagePathEdit, QString::fromStdString(missing));
    Update(*dialog);
    const QString expected =
        QString::fromStdString(FormatText(status::kFileNotOpened, missing.c_str()));
    auto* line = qobject_cast<QLabel*>(dialog->Control(res::kStatusLine));
    EXPECT_EQ(line->text(), expected);
    EXPECT_EQ(line->textFormat(), Qt::PlainText);
    // What the tooltip shows, rendered as a tooltip renders it.
    QTextDocument shown;
    const QString tip = line->toolTip();
    if (Qt::mightBeRichText(tip)) {
        shown.setHtml(tip);
    } else {
        shown.setPlainText(tip);
    }
    // The status line, and the reason with the system's words.
    EXPECT_TRUE(shown.toPlainText().startsWith(
        expected + "\nThe package " + QString::fromStdString(missing) + " cannot be opened ("))
        << tip.toStdString();
}

TEST_F(AppFlash, TheClockDropsHours) {
    devsim::DeviceFaults faults;
    faults.eraseDelayMs = 600;
    Attach(faults);
    KORVANE_SKIP_IF_UNSUITED(*device);
    ChoosePackage(5);
    auto dialog = OpenDialog();
    qint64 now = 1700000000;
    dialog->SetWallClock([&now] { return now; });

    QStringList shown;
    bool done = false;
    Sampler sampler([&] {
        if (!dialog->RunActive() || done) {
            return;
        }
        done = true;
        shown << TextOf(*dialog, res::kClock);
        for (const qint64 elapsed : {59, 3599, 3600, 3665}) {
            now = 1700000000 + elapsed;
            QTimerEvent tick(12345);  // any timer ticks the clock
            QApplication::sendEvent(dialog.get(), &tick);
            shown << TextOf(*dialog, res::kClock);
        }
    });
    Update(*dialog);
    EXPECT_EQ(shown, QStringList({"00:00", "00:59", "59:59", "00:00", "01:05"}));
}

// One failure each, so that a runner with one simulator per fault set (Wine's COM1) runs
// every case.
class AFailedRunsTooltip : public AppFlash, public ::testing::WithParamInterface<int> {};

TEST_P(AFailedRunsTooltip, NamesTheEntryWhereAndHow) {
    std::vector<std::pair<devsim::DeviceFaults, QString>> cases(4);
    cases[0].first.refuseWriteAt = 0x08000200;
    cases[0].second = "NACK to a write at 0x08000200 of DIAG.BIN";
    cases[1].first.loader.ignore.push_back({1, 2, 0x08000100});
    cases[1].second = "No reply within 3000 ms to a write at 0x08000100 of MCU.BIN";
    cases[2].first.loader.refuse.push_back({0, 3, std::nullopt});
    cases[2].second = "The loader refused the closing request after xx_LOGO.BIN";
    cases[3].first.loader.refuse.push_back({0, 2, 130});
    cases[3].second = "The loader refused block 130 of xx_LOGO.BIN";
    const auto& [faults, reason] = cases[static_cast<size_t>(GetParam())];
    Attach(faults);
    KORVANE_SKIP_IF_UNSUITED(*device);
    const std::string path = ChoosePackage(41);
    auto dialog = OpenDialog();
    Update(*dialog);
    // The status line stays as it is; the reason stands under it.
    EXPECT_EQ(dialog->Control(res::kStatusLine)->toolTip().section('\n', 0, 1).toStdString(),
              FormatText(status::kFailedFile, path.c_str()) + "\n" + reason.toStdString());
}

INSTANTIATE_TEST_SUITE_P(AppFlash, AFailedRunsTooltip, ::testing::Range(0, 4));

TEST_F(AppFlash, CommandsDuringARunAreIgnored) {
    // The first block of CFG.BIN is refused: its writer enables the commands while the
    // worker still has the logo to write, over a line paced like a real one.
    devsim::DeviceFaults faults;
    faults.loader.refuse.push_back({0, 2, 0});
    Attach(faults, 115200);
    KORVANE_SKIP_IF_UNSUITED(*device);
    std::vector<PackageImage> images = kPackage;
    images[3].bytes = Pattern(12000, 4);
    const std::string path = ChoosePackage(41, images);
    auto dialog = OpenDialog();
    const QString profileBefore = ProfileOnDisk();

    bool pressed = false;
    Sampler sampler([&] {
        if (pressed || !dialog->RunActive() || !dialog->Control(res::kOk)->isEnabled()) {
            return;
        }
        pressed = true;
        Click(dialog->Control(res::kOk));
        Click(dialog->Control(res::kCancel));
        static_cast<QPushButton*>(dialog->Control(res::kReset))->click();
        PressKey(dialog.get(), Qt::Key_Escape);
        PressKey(dialog.get(), Qt::Key_Return);
        dialog->close();
    });
    Update(*dialog);
    ASSERT_TRUE(pressed);
    // Let anything the presses queued happen.
    WaitUntil([] { return false; }, 200);

    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->RunActive());
    EXPECT_EQ(TextOf(*dialog, res::kStatusLine).toStdString(),
              FormatText(status::kFailedFile, path.c_str()));
    // The run failed after the firmware and its record went in: that number is spent.
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("42"));
    EXPECT_EQ(ProfileOnDisk(), QString(profileBefore).replace("SN=41", "SN=42"));
    device->Inspect([&](const devsim::DeviceSnapshot& d) {
        // The link stayed with the worker to the end: the whole logo went in, once.
        const auto& blocks = d.Loader().DataBlocks();
        for (uint32_t block = 128; block < 128 + 24; ++block) {
            EXPECT_EQ(blocks.count(block), 1u) << block;
        }
        EXPECT_EQ(d.Loader().ClosingRequests(), 1);
    });
}

#ifndef _WIN32
TEST_F(AppFlash, TheToolWaitsForTheWindowsRunAndTheWindowForTheTool) {
    // The erase holds the window's run long enough for the tool to try its own.
    devsim::DeviceFaults faults;
    faults.eraseDelayMs = 1000;
    Attach(faults);
    KORVANE_SKIP_IF_UNSUITED(*device);
    ChoosePackage(41);
    auto dialog = OpenDialog();
    devsim::PtySimulator other;
    ASSERT_TRUE(other.Start());
    const std::string package = korvane::testing::WritePackage(kPackage);
    const auto runTool = [&] {
        korvane::testing::ChildProcess tool(KORVANE_FLASH_EXE,
                                            {"--port", other.PortPath(), package});
        const std::string output = tool.ReadAll();
        return std::pair{tool.Wait(), output};
    };

    std::pair<int, std::string> during{-1, ""};
    Sampler sampler([&] {
        // The window's run cannot end while this runs on its thread: the counter stays
        // taken for the whole of the tool's try.
        if (dialog->RunActive() && during.first == -1) {
            during = runTool();
        }
    });
    Update(*dialog);
    EXPECT_EQ(during.first, 1);
    EXPECT_NE(during.second.find("in use by another program"), std::string::npos) << during.second;
    EXPECT_TRUE(other.Received().empty());

    // Afterwards the tool numbers the next device, and the window, whose edit still
    // says 42, takes the stored number for its next one.
    EXPECT_EQ(runTool().first, 0);
    EXPECT_EQ(RecordText(other.Snapshot()).substr(8), "00042");
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("42"));
    Update(*dialog);
    device->Inspect(
        [](const devsim::DeviceSnapshot& d) { EXPECT_EQ(RecordText(d).substr(8), "00043"); });
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("44"));
    EXPECT_TRUE(ProfileOnDisk().contains("SN=44")) << ProfileOnDisk().toStdString();
}
#endif

// A chip the journal has flashed before, with no rework rule in the profile: the window
// asks, and each answer does what its button says.
TEST_F(AppFlash, AChipFlashedBeforeIsAskedAbout) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    ChoosePackage(41, kPackage, QString());
    auto dialog = OpenDialog();
    Update(*dialog);  // the chip's first run: nothing to ask
    ASSERT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("42"));
    const auto runAnswering = [&](const QString& button) {
        ModalAnswer answer([button](QWidget* modal) {
            for (QPushButton* candidate : modal->findChildren<QPushButton*>()) {
                if (candidate->text() == button) {
                    candidate->click();
                }
            }
        });
        Update(*dialog);
        EXPECT_TRUE(answer.Answered()) << button.toStdString();
    };
    runAnswering(QStringLiteral("Keep its number"));
    device->Inspect([](const devsim::DeviceSnapshot& d) {
        EXPECT_EQ(RecordText(d).substr(8), "00041");
        EXPECT_EQ(d.Loader().ClosingRequests(), 2);
    });
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("42"));
    EXPECT_TRUE(ProfileOnDisk().contains("SN=42")) << ProfileOnDisk().toStdString();

    runAnswering(QStringLiteral("Do not flash"));
    EXPECT_TRUE(TextOf(*dialog, res::kStatusLine).startsWith("The device was flashed before"))
        << TextOf(*dialog, res::kStatusLine).toStdString();
    device->Inspect([](const devsim::DeviceSnapshot& d) { EXPECT_EQ(d.EraseCount(), 2); });

    runAnswering(QStringLiteral("New number"));
    device->Inspect(
        [](const devsim::DeviceSnapshot& d) { EXPECT_EQ(RecordText(d).substr(8), "00042"); });
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("43"));
    // The status line's tooltip names the chip.
    EXPECT_TRUE(dialog->Control(res::kStatusLine)->toolTip().contains("KiB of flash"))
        << dialog->Control(res::kStatusLine)->toolTip().toStdString();
}

TEST_F(AppFlash, ABrowseDuringARunNeverBringsBackAnOlderNumber) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    const std::string first = ChoosePackage(41);
    auto dialog = OpenDialog();
    // The next package, written only once chosen: the file dialog takes a new name as it
    // is typed, without looking it up.
    const QString next = QString::fromStdString(configHome) + "/next.bin";
    bool browsed = false;
    Sampler sampler([&] {
        if (!dialog->RunActive() || browsed) {
            return;
        }
        browsed = true;
        // Clicked as an operator's click arrives, not from inside this timer: no timer
        // fires in a window opened from a timer, and choosing the file needs one.
        QMetaObject::invokeMethod(
            dialog.get(),
            [&] {
                // The file is chosen only after the run has shown the next number.
                Sampler chooser([&] {
                    auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                    if (files != nullptr && TextOf(*dialog, res::kSequenceNumberEdit) == "42") {
                        // Typed, as an operator would, into the file name field.
                        files->findChild<QLineEdit*>("fileNameEdit")->setText(next);
                        static_cast<QDialog*>(files)->accept();
                    }
                });
                Click(dialog->Control(res::kBrowseButton));
            },
            Qt::QueuedConnection);
    });
    Update(*dialog);
    ASSERT_TRUE(browsed);
    EXPECT_EQ(TextOf(*dialog, res::kPackagePathEdit), QDir::toNativeSeparators(next));
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("42"));
    ASSERT_TRUE(QFile::copy(QString::fromStdString(first), next));
    Update(*dialog);
    device->Inspect(
        [](const devsim::DeviceSnapshot& d) { EXPECT_EQ(RecordText(d).substr(8), "00042"); });
    EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("43"));
}

TEST_F(AppFlash, ATypedNumberSetsTheLinesSequenceOnlyOnceConfirmed) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    const std::string path = korvane::testing::WritePackage(kPackage);
    const QString journal = QString::fromStdString(configHome) + "/line.sqlite";
    WriteProfileFile(QString("[Setting]\nFile=%1\nPort=0\nSN=7\n[Journal]\nDatabase=%2\n"
                             "Counter=journal\n")
                         .arg(QString::fromStdString(path), journal));
    auto dialog = OpenDialog();
    SetText(*dialog, res::kSequenceNumberEdit, "500");
    for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
        QString question;
        ModalAnswer confirm([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            question = box->text();
            box->button(answer)->click();
        });
        Update(*dialog);
        EXPECT_TRUE(question.contains(journal)) << question.toStdString();
    }
    device->Inspect([](const devsim::DeviceSnapshot& d) {
        EXPECT_EQ(RecordText(d).substr(8), "00500");
        EXPECT_EQ(d.Loader().ClosingRequests(), 1) << "no run before the answer was yes";
    });
    int next = 0;
    QString error;
    EXPECT_TRUE(Journal(journal).NextNumber(next, error));
    EXPECT_EQ(next, 501);
    EXPECT_TRUE(ProfileOnDisk().contains("SN=7\n")) << "the profile's counter is not the line's";
}

TEST_F(AppFlash, ADamagedNumberIsShownAsFoundAndStopsUpdate) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    const QString notAnInteger = QStringLiteral("Please enter an integer.");
    struct Found {
        QString entries;  // the end of section "Setting"
        QString shown;
        QString prompt;
        QString status;  // part of what the status line says from the start
    };
    const std::vector<Found> table = {
        {"SN=abc\n", "abc", notAnInteger, "holds \"abc\", not a number from 1 to 99999."},
        {"SN=4294967396\n", "4294967396", notAnInteger, "holds \"4294967396\""},
        {"SN=100000\n", "100000", "Please enter an integer between 1 and 99999.",
         "are used up: the last number, 99999, has been given; give a new range by typing its "
         "first number into S/N."},
#ifndef Q_OS_WIN
        // The registry cannot hold a key twice.
        {"SN=10\nSN=20\n", "SN=10, SN=20", notAnInteger, "is given twice, \"10\" and \"20\"."},
#endif
    };
    for (const Found& found : table) {
        const QString profile = "[Setting]\nFile=/some/pkg.bin\nPort=0\n" + found.entries;
        WriteProfileFile(profile);
        auto dialog = OpenDialog();
        EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), found.shown);
        EXPECT_TRUE(TextOf(*dialog, res::kStatusLine).contains(found.status))
            << TextOf(*dialog, res::kStatusLine).toStdString();
        QString prompt;
        ModalAnswer answer([&](QWidget* modal) {
            prompt = qobject_cast<QMessageBox*>(modal)->text();
            modal->close();
        });
        Click(dialog->Control(res::kOk));
        ASSERT_TRUE(WaitUntil([&] { return answer.Answered(); }));
        EXPECT_EQ(prompt, found.prompt);
        EXPECT_TRUE(device->Received().empty());
        // Closing leaves the damaged profile as it is.
        ModalAnswer again([](QWidget* modal) { modal->close(); });
        dialog->close();
        EXPECT_EQ(ProfileOnDisk().toStdString(), profile.toStdString());
    }
}

#ifndef _WIN32
// Only what engineering signed reaches a device: the status line's tooltip tells the chosen
// package's signature, and Update refuses, before the port is opened, each package that no
// trusted key signed as it is.
TEST_F(AppFlash, OnlyAPackageATrustedKeySignedIsFlashed) {
    using korvane::testing::Minisign;
    if (const std::string missing = Minisign::Missing(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    Minisign minisign;
    Minisign::Key engineering, stranger;
    ASSERT_TRUE(minisign.MakeKey(configHome + "/engineering.pub", engineering)) << minisign.problem;
    ASSERT_TRUE(minisign.MakeKey(configHome + "/stranger.pub", stranger)) << minisign.problem;
    const std::string path = ChoosePackage(5);
    WriteProfileFile(
        ProfileOnDisk() +
        QString("[Packages]\nTrustedKeys=%1\n").arg(QString::fromStdString(engineering.pub)));
    ASSERT_TRUE(minisign.Sign(engineering, path, "release 4.2")) << minisign.problem;
    const auto tooltip = [](FlasherDialog& dialog) {
        return dialog.Control(res::kStatusLine)->toolTip().toStdString();
    };
    const std::string valid = "The package is signed by trusted key " + engineering.id +
                              ", with the trusted comment \"release 4.2\".";
    {
        auto dialog = OpenDialog();
        EXPECT_EQ(tooltip(*dialog), valid);
        Update(*dialog);
        device->Inspect(
            [](const devsim::DeviceSnapshot& d) { EXPECT_EQ(RecordText(d).substr(8), "00005"); });
        EXPECT_NE(tooltip(*dialog).find(valid), std::string::npos) << tooltip(*dialog);
    }
    std::vector<JournalRecord> records;
    QString error;
    ASSERT_TRUE(Journal(Journal::DefaultPath()).Records({}, records, error)) << error.toStdString();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().signer.toStdString(), engineering.id);
    EXPECT_EQ(records.back().signedComment, QStringLiteral("release 4.2"));

    const std::string signature = path + ".minisig";
    const std::string original = korvane::testing::ReadFileText(path);
    struct Case {
        const char* what;
        std::function<void()> make;
        std::string said;
    };
    const std::vector<Case> cases = {
        {"a byte changed after signing",
         [&] {
             std::string bytes = original;
             bytes[300] = static_cast<char>(bytes[300] ^ 1);
             korvane::testing::WriteFileText(path, bytes);
         },
         "The package was changed after it was signed"},
        {"the trusted comment edited",
         [&] {
             korvane::testing::WriteFileText(path, original);
             ASSERT_TRUE(minisign.Sign(engineering, path, "release 4.2")) << minisign.problem;
             std::string text = korvane::testing::ReadFileText(signature);
             text.replace(text.find("release 4.2"), 11, "release 9.9");
             korvane::testing::WriteFileText(signature, text);
         },
         "The trusted comment of the package's signature by key " + engineering.id},
        {"an untrusted key",
         [&] { ASSERT_TRUE(minisign.Sign(stranger, path, "ours?")) << minisign.problem; },
         "The package is signed by key " + stranger.id + ", which this station does not trust."},
        {"no signature", [&] { std::remove(signature.c_str()); },
         "The package is not signed: there is no signature file beside it."},
    };
    auto dialog = OpenDialog();
    device->ClearReceived();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        Update(*dialog);
        EXPECT_EQ(TextOf(*dialog, res::kStatusLine)
                      .toStdString()
                      .rfind("The package [" + path + "] is not flashed. " + c.said, 0),
                  0u)
            << TextOf(*dialog, res::kStatusLine).toStdString();
        EXPECT_TRUE(device->Received().empty());
        EXPECT_FALSE(dialog->Link().IsOpen());
        EXPECT_EQ(TextOf(*dialog, res::kSequenceNumberEdit), QStringLiteral("6"));
        EXPECT_TRUE(CommandsEnabled(*dialog));
    }
    // Chosen again, the unsigned package is told of before Update.
    dialog.reset();
    dialog = OpenDialog();
    EXPECT_EQ(tooltip(*dialog), cases.back().said);
}
#endif

// The station window through a shift at one fixture: empty, a device put in and flashed,
// left in and not flashed again, taken out, a new one in; the tile's word, colour, detail
// and counts at each step. The window's own port is COM1, the simulator a fixture.
TEST_F(AppFlash, TheStationWindowGoesThroughAShiftAtItsFixture) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    device->TakeOut();
    const std::string path = korvane::testing::WritePackage(kPackage);
    WriteProfileFile(QString("[Setting]\nFile=%1\nPort=0\nSN=30\n[Station]\nProbeMs=200\n")
                         .arg(QString::fromStdString(path)));
    StationWindow window(QString::fromStdString(path), {QStringLiteral("COM1")});
    window.show();
    const auto tile = [&] { return window.TileAt(0); };
    // Opened stopped, and saying so: nothing put in now would be flashed.
    EXPECT_EQ(tile().word, QStringLiteral("STOPPED"));
    EXPECT_FALSE(window.Banner().isEmpty());
    PressKey(&window, Qt::Key_Space);  // Start
    ASSERT_TRUE(window.Watching()) << window.Notice().toStdString();
    EXPECT_TRUE(window.Banner().isEmpty());
    ASSERT_TRUE(WaitUntil([&] { return tile().word == QLatin1String("EMPTY"); }));
    EXPECT_EQ(tile().colour, QColor(0x9e, 0x9e, 0x9e));
    for (int number : {30, 31}) {
        device->PutIn();
        ASSERT_TRUE(WaitUntil([&] { return tile().word == QLatin1String("PASS"); }))
            << tile().word.toStdString() << ": " << tile().detail.toStdString();
        EXPECT_EQ(tile().colour, QColor(0x2e, 0x7d, 0x32));
        EXPECT_TRUE(tile().serial.endsWith(QString("00%1").arg(number)))
            << tile().serial.toStdString();
        EXPECT_TRUE(tile().detail.contains(QStringLiteral("Take the device out.")));
        EXPECT_EQ(tile().counts, QString("passed %1 · failed 0").arg(number - 29));
        EXPECT_TRUE(window.LineCounts().startsWith(
            QString("passed %1 · failed 0 · first-pass yield 100.0 %").arg(number - 29)))
            << window.LineCounts().toStdString();
        EXPECT_EQ(tile().progress, -1);
        if (number == 30) {
            // Left in for several probes: not flashed again.
            WaitUntil([] { return false; }, 1500);
            EXPECT_EQ(tile().word, QStringLiteral("PASS"));
            EXPECT_EQ(tile().counts, QStringLiteral("passed 1 · failed 0"));
            device->TakeOut();
            ASSERT_TRUE(WaitUntil([&] { return tile().word == QLatin1String("EMPTY"); }));
        }
    }
    device->Inspect([](const devsim::DeviceSnapshot& d) {
        EXPECT_EQ(RecordText(d).substr(8), "00031");
        EXPECT_EQ(d.Loader().ClosingRequests(), 1);  // the new device, flashed once
    });
    PressKey(&window, Qt::Key_Space);  // Stop
    ASSERT_TRUE(WaitUntil([&] { return !window.Watching(); }));
    EXPECT_EQ(tile().word, QStringLiteral("STOPPED"));
    EXPECT_FALSE(window.Banner().isEmpty());
    EXPECT_TRUE(ProfileOnDisk().contains("SN=32")) << ProfileOnDisk().toStdString();
}

// One port given twice (here COM1 under two spellings) would be two fixtures that take
// turns on one device: the window says so and does not start.
TEST_F(AppFlash, TheStationWindowRefusesAPortGivenTwice) {
    Attach();
    KORVANE_SKIP_IF_UNSUITED(*device);
    const std::string path = korvane::testing::WritePackage(kPackage);
    StationWindow window(QString::fromStdString(path),
                         {QStringLiteral("COM1"), QStringLiteral("com1:")});
    window.show();
    PressKey(&window, Qt::Key_Space);
    EXPECT_FALSE(window.Watching());
    EXPECT_TRUE(window.Notice().startsWith(QStringLiteral("The port ")) &&
                window.Notice().contains(QStringLiteral("is given twice, as COM1")))
        << window.Notice().toStdString();
    EXPECT_TRUE(device->Received().empty());
}

}  // namespace
}  // namespace korvane::test
