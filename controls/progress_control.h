// The progress control's own model: a range, a position kept within it, a step, a window
// style whose low word holds the control's options, and a window text. Painting is left to
// the derived control; the base repaints the whole control whenever the position changes.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>

namespace korvane {

class ProgressControl : public QWidget {
    Q_OBJECT

public:
    struct Range {
        int lower;
        int upper;
    };

    explicit ProgressControl(QWidget* parent = nullptr);

    // Sets the range and brings the position into it; returns the previous range.
    Range SetRange(int lower, int upper);
    Range GetRange() const { return {lower, upper}; }
    int GetPos() const { return position; }

    // Each returns the previous position (SetStep: the previous step). A position outside
    // the range is kept at its nearer end.
    virtual int SetPos(int newPosition);
    virtual int DeltaPos(int increment);
    virtual int SetStep(int newStep);
    // Advances by the step; past the upper end it starts over from the lower end.
    virtual int StepIt();
    int GetStep() const { return step; }

    std::uint32_t Style() const { return style; }
    void SetStyle(std::uint32_t newStyle) { style = newStyle; }
    QString WindowText() const { return text; }
    void SetWindowText(const QString& newText) { text = newText; }

private:
    int Store(long long newPosition);

    int lower = 0;
    int upper = 100;
    int position = 0;
    int step = 10;
    std::uint32_t style = 0;
    QString text;
};

}  // namespace korvane
