#include "gui/app_fixture.h"

#include <unistd.h>

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
#include <QSettings>
#include <QTimer>
#include <cstdlib>

#include "app/flasher_app.h"

namespace korvane::test {

namespace {
constexpr int kPollMs = 5;

QString ProfilePath(const std::string& configHome) {
    return QString::fromStdString(configHome) + "/STM32F10X Korvane/korvane.conf";
}
}  // namespace

void AppTest::SetUp() {
    static int counter = 0;
    configHome = ::testing::TempDir() + "korvane-app-" + std::to_string(getpid()) + "-" +
                 std::to_string(++counter);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(configHome)));
    // The profile and the port table both live under this folder, away from the user's.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(configHome));
    // The journal too, through the data folder.
    setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
    setenv("XDG_DATA_HOME", configHome.c_str(), 1);
    unsetenv("KORVANE_COM1");
    RegisterApplicationIcons();
}

void AppTest::TearDown() {
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
    unsetenv("KORVANE_COM1");
    QDir(QString::fromStdString(configHome)).removeRecursively();
}

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
