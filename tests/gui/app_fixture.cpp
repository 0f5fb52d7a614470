#include "gui/app_fixture.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTimer>
#include <cstdlib>

#include "app/flasher_app.h"
#include "station/journal.h"
#include "support/scratch_folder.h"

namespace korvane::test {

namespace {
constexpr int kPollMs = 5;

#ifdef Q_OS_WIN
// The registry is one per user: every test starts from no key at all.
constexpr char kProgramKey[] = "HKEY_CURRENT_USER\\Software\\STM32F10X Korvane\\korvane";

// Runs reg.exe, the registry's own tool (under Wine the one `wine reg` runs): what it
// shows is what the registry holds, whatever QSettings would make of it. Returns its exit
// status, with what it printed in output.
int Reg(const QStringList& arguments, QString* output = nullptr) {
    QProcess reg;
    reg.start(QStringLiteral("reg"), arguments);
    EXPECT_TRUE(reg.waitForFinished(30000)) << arguments.join(' ').toStdString();
    if (output != nullptr) {
        *output = QString::fromLocal8Bit(reg.readAllStandardOutput());
    }
    return reg.exitStatus() == QProcess::NormalExit ? reg.exitCode() : -1;
}

QString SettingKey() {
    return QString::fromLatin1(kProgramKey) + "\\Setting";
}
#else
QString ProfilePath(const std::string& configHome) {
    return QString::fromStdString(configHome) + "/STM32F10X Korvane/korvane.conf";
}
#endif
}  // namespace

void AppTest::SetUp() {
    configHome = testing::TempFile("app");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(configHome)));
    // The profile and the port table both live under this folder, away from the user's.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(configHome));
    // The journal too, through the data folder.
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(configHome));
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(configHome));
    qunsetenv("KORVANE_COM1");
#ifdef Q_OS_WIN
    Reg({"delete", kProgramKey, "/f"});  // fails when there is none, as is fine
    // The journal is one per user there too: no test sees another's devices and numbers.
    QFile::remove(Journal::DefaultPath());
    QFile::remove(Journal::SpoolPath());
#endif
    RegisterApplicationIcons();
}

void AppTest::TearDown() {
    qunsetenv("XDG_CONFIG_HOME");
    qunsetenv("XDG_DATA_HOME");
    qunsetenv("KORVANE_COM1");
    QDir(QString::fromStdString(configHome)).removeRecursively();
}

#ifdef Q_OS_WIN
QString AppTest::ProfileOnDisk() const {
    QString shown;
    if (Reg({"query", SettingKey()}, &shown) != 0) {
        return QString();  // no key: no profile
    }
    // "    NAME    REG_TYPE    DATA" lines; a number shows as 0x… hexadecimal.
    static const QRegularExpression valueLine(
        QStringLiteral("^\\s+(\\S+)\\s+(REG_\\w+)(?:\\s{4}(.*))?$"));
    QStringList values;
    for (QString line : shown.split('\n')) {
        line.remove('\r');
        const QRegularExpressionMatch match = valueLine.match(line);
        if (!match.hasMatch()) {
            continue;
        }
        QString data = match.captured(3);
        if (match.captured(2) == QLatin1String("REG_DWORD")) {
            data = QString::number(data.toUInt(nullptr, 0));
        }
        values << match.captured(1) + '=' + data;
    }
    values.sort();
    return "[Setting]\n" + values.join('\n') + '\n';
}

void AppTest::WriteProfileFile(const QString& text) const {
    // One import: the key removed, then made again with each section's values, a section
    // being a subkey, as Qt keeps them.
    QString script =
        QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n[-%1]\r\n\r\n[%2]\r\n")
            .arg(QString::fromLatin1(kProgramKey), SettingKey());
    static const QRegularExpression number(QStringLiteral("^[0-9]{1,9}$"));
    for (const QString& line : text.split('\n')) {
        if (line.startsWith('[') && line.endsWith(']')) {
            script += QStringLiteral("\r\n[%1\\%2]\r\n")
                          .arg(QString::fromLatin1(kProgramKey), line.mid(1, line.size() - 2));
            continue;
        }
        const int equals = line.indexOf('=');
        if (equals < 0) {
            continue;
        }
        const QString value = line.mid(equals + 1);
        QString data;
        if (number.match(value).hasMatch()) {
            data = QStringLiteral("dword:%1").arg(value.toUInt(), 8, 16, QLatin1Char('0'));
        } else {
            data = '"' + QString(value).replace('\\', "\\\\").replace('"', "\\\"") + '"';
        }
        script += '"' + line.left(equals) + "\"=" + data + "\r\n";
    }
    const QString path = QString::fromStdString(configHome) + "/profile.reg";
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("\xFF\xFE");  // UTF-16, as the format's version 5 asks
    file.write(reinterpret_cast<const char*>(script.utf16()), script.size() * 2);
    file.close();
    ASSERT_EQ(Reg({"import", QDir::toNativeSeparators(path)}), 0);
}
#else
QString AppTest::ProfileOnDisk() const {
    QFile file(ProfilePath(configHome));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void AppTest::WriteProfileFile(const QString& text) const {
    const QString path = ProfilePath(configHome);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
}
#endif

std::unique_ptr<FlasherDialog> AppTest::OpenDialog() const {
    auto dialog = std::make_unique<FlasherDialog>();
    dialog->show();
    return dialog;
}

void PressKey(QWidget* widget, Qt::Key key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

void SetText(FlasherDialog& dialog, int id, const QString& text) {
    auto* edit = qobject_cast<QLineEdit*>(dialog.Control(id));
    ASSERT_NE(edit, nullptr) << id;
    edit->setText(text);
}

QString TextOf(FlasherDialog& dialog, int id) {
    QWidget* control = dialog.Control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        return edit->text();
    }
    if (auto* label = qobject_cast<QLabel*>(control)) {
        return label->text();
    }
    if (auto* combo = qobject_cast<QComboBox*>(control)) {
        return combo->currentText();
    }
    return QString();
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done() || clock.elapsed() > timeoutMs) {
            loop.quit();
        }
    });
    poll.start(kPollMs);
    if (!done()) {
        loop.exec();
    }
    return done();
}

struct ModalAnswer::Impl {
    QTimer timer;
    bool answered = false;
};

ModalAnswer::ModalAnswer(std::function<void(QWidget*)> answer) : impl(std::make_unique<Impl>()) {
    Impl* state = impl.get();
    QObject::connect(&impl->timer, &QTimer::timeout, [state, answer = std::move(answer)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || qobject_cast<FlasherDialog*>(modal) != nullptr) {
            return;
        }
        state->timer.stop();
        state->answered = true;
        answer(modal);
    });
    impl->timer.start(kPollMs);
}

ModalAnswer::~ModalAnswer() = default;

bool ModalAnswer::Answered() const {
    return impl->answered;
}

struct Sampler::Impl {
    QTimer timer;
};

Sampler::Sampler(std::function<void()> sample) : impl(std::make_unique<Impl>()) {
    QObject::connect(&impl->timer, &QTimer::timeout, std::move(sample));
    impl->timer.start(kPollMs);
}

Sampler::~Sampler() = default;

}  // namespace korvane::test
