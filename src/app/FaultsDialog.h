#pragma once

#include "faults/FaultSpec.h"

#include <QDialog>

class QLabel;
class QLineEdit;

// Asks for a fault list, the same text px310-headless --faults takes, with
// a table of the keys that grows with the dialog. OK keeps the dialog open
// while the text is refused, with the parser's reason shown under it.
class FaultsDialog : public QDialog {
    Q_OBJECT
public:
    FaultsDialog(const FaultSpec& current, QWidget* parent = nullptr);

    FaultSpec spec() const { return spec_; }

    void accept() override;

private:
    QLineEdit* text_;
    QLabel* problem_;
    FaultSpec spec_;
};
