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

    // The profile file as it is on disk: what a process that is killed leaves behind.
    QString ProfileOnDisk() const;
    // Writes the profile file before a dialog reads it.
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
