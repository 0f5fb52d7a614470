// Shared set-up of the window's tests: a profile of their own, the program's icons, and
// ways to drive the window as an operator would (clicks, keys, answering modal windows).
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "app/flasher_dialog.h"
#include "app/synthetic_click.h"

namespace korvane::test {

class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The profile as it is stored: what a process that is killed leaves behind. On
    // Windows the registry key, as the registry's own tool shows it, written out in the
    // file's form ("[Setting]", then "Name=value" lines by name).
    QString ProfileOnDisk() const;
    // Stores the profile, given in the file's form, before a dialog reads it. On Windows
    // the section's values replace the key's; numbers go in as the program writes them.
    void WriteProfileFile(const QString& text) const;
    // The dialog, built on the profile as it is now, and shown.
    std::unique_ptr<FlasherDialog> OpenDialog() const;

    std::string configHome;
};

// A left click in the middle of widget, with the mouse.
void PressKey(QWidget* widget, Qt::Key key);
void SetText(FlasherDialog& dialog, int id, const QString& text);
QString TextOf(FlasherDialog& dialog, int id);

// Handles events until done() holds or timeoutMs pass; returns done().
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 20000);

// While it lives: once a modal window other than the dialog under test opens, hands it to
// answer (which must close it).
class ModalAnswer {
public:
    explicit ModalAnswer(std::function<void(QWidget*)> answer);
    ~ModalAnswer();
    bool Answered() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// Calls sample every few milliseconds while events are handled, until stopped.
class Sampler {
public:
    explicit Sampler(std::function<void()> sample);
    ~Sampler();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace korvane::test
