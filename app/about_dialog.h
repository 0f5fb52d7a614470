// The about box: template 100, nothing but its texts, the application icon and OK.
#pragma once

#include <QDialog>

namespace korvane {

class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace korvane
