#include "app/about_dialog.h"

#include <QPushButton>

#include "app/dialog_builder.h"
#include "res/resource_ids.h"
#include "res/resources.h"

namespace korvane {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    const DialogControls controls = BuildDialog(*this, *res::FindDialogTemplate(res::kAboutDialog));
    setWindowIcon(res::ResourceIcon(res::kApplicationIcon));
    connect(qobject_cast<QPushButton*>(controls.at(res::kOk)), &QPushButton::clicked, this,
            &QDialog::accept);
}

}  // namespace korvane
