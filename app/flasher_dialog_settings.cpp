// The window's settings exchange: its controls into its members and back, with the checks
// of the sequence number, and what it keeps in the profile as it closes.
#include "app/flasher_dialog.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>

#include "flashing/serial_record.h"
#include "settings/profile.h"

namespace korvane {

namespace {

constexpr char kPackageFilter[] = "Data Files(*.bin)|*.bin||";
constexpr char kPackageExtension[] = "bin";
constexpr char kNotAnInteger[] = "Please enter an integer.";
constexpr char kOutOfRange[] = "Please enter an integer between %d and %d.";

}  // namespace

QStringList NameFilters(const QString& classicFilter) {
    // Pairs of a description and its patterns, separated by "|", ended by "||".
    const QStringList parts = classicFilter.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString& description = parts[i];
        const QString patterns = QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' '));
        if (description.isEmpty()) {
            break;
        }
        // The file dialog reads the patterns from the description's last parentheses.
        const QString shown = QStringLiteral("(%1)").arg(patterns);
        filters << (description.endsWith(shown) ? description : description + " " + shown);
    }
    return filters;
}

bool FlasherDialog::UpdateData(bool save) {
    if (!save) {
        pathEdit->setText(packagePath);
        portBox->setCurrentIndex(portIndex);
        sequenceNumberEdit->setText(
            damagedSequenceNumber.value_or(QString::number(sequenceNumber)));
        return true;
    }
    packagePath = pathEdit->text();
    portIndex = portBox->currentIndex();
    return ExchangeSequenceNumber();
}

bool FlasherDialog::ExchangeSequenceNumber() {
    bool isInteger = false;
    const int value = sequenceNumberEdit->text().trimmed().toInt(&isInteger);
    if (!isInteger) {
        Prompt(QString::fromLatin1(kNotAnInteger), sequenceNumberEdit);
        return false;
    }
    sequenceNumber = value;
    if (!IsValidSequenceNumber(value)) {
        Prompt(QString::asprintf(kOutOfRange, kMinSequenceNumber, kMaxSequenceNumber),
               sequenceNumberEdit);
        return false;
    }
    return true;
}

void FlasherDialog::Prompt(const QString& text, QWidget* control) {
    QMessageBox::warning(this, QCoreApplication::applicationName(), text);
    control->setFocus();
    if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        edit->selectAll();
    }
}

std::optional<int> FlasherDialog::ChosenSequenceNumber() const {
    const bool typed = damagedSequenceNumber ? sequenceNumberEdit->text() != *damagedSequenceNumber
                                             : sequenceNumber != seenSequenceNumber;
    return typed ? std::optional<int>(sequenceNumber) : std::nullopt;
}

void FlasherDialog::TakeSequenceNumber(int number) {
    sequenceNumber = seenSequenceNumber = number;
    damagedSequenceNumber.reset();
    sequenceNumberEdit->setText(QString::number(number));
}

void FlasherDialog::reject() {
    OnCancel();
}

void FlasherDialog::OnCancel() {
    // Nothing closes the link or the package under a running worker.
    if (run.Active()) {
        return;
    }
    // The package and the port are saved whatever the number holds; a number that fails its
    // check (the operator was just told so) is not: written, it would stop every later run
    // of the window and the tool on a damaged profile.
    const bool numberValid = UpdateData(true);
    link.Close();
    // The stored number is the counter's: it is written back only when the operator
    // typed another one, and never while another program holds it.
    const std::optional<int> chosen = numberValid ? ChosenSequenceNumber() : std::nullopt;
    if (chosen && session && session->GetStation().Profile() != nullptr) {
        std::string why;
        // The window is going away: a status line would not be read, and the operator
        // must know that the number typed was not kept.
        if (!session->GetStation().Profile()->SaveChosen(*chosen, why)) {
            QMessageBox::warning(this, QCoreApplication::applicationName(),
                                 QStringLiteral("The sequence number %1 was not saved. %2")
                                     .arg(*chosen)
                                     .arg(QString::fromStdString(why)));
        }
    }
    // A damaged profile is left as it is, the evidence included, until a number replaces it.
    if (!damagedSequenceNumber || chosen) {
        WriteProfile(packagePath, portIndex);
    }
    QDialog::reject();
}

void FlasherDialog::OnBrowse() {
    QFileDialog fileDialog(this);
    fileDialog.setAcceptMode(QFileDialog::AcceptOpen);
    fileDialog.setFileMode(QFileDialog::AnyFile);
    fileDialog.setDefaultSuffix(QString::fromLatin1(kPackageExtension));
    fileDialog.setNameFilters(NameFilters(QString::fromLatin1(kPackageFilter)));
    if (fileDialog.exec() != QDialog::Accepted || fileDialog.selectedFiles().isEmpty()) {
        return;
    }
    packagePath = QDir::toNativeSeparators(fileDialog.selectedFiles().first());
    // Every control is rewritten from its member: edits of the port and the number that
    // were not taken by a run are dropped.
    UpdateData(false);
    ShowPackageSignature();
}

}  // namespace korvane
