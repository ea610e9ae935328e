#include "app/FaultsDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

FaultsDialog::FaultsDialog(const FaultSpec& current, QWidget* parent)
    : QDialog(parent), text_(new QLineEdit(formatFaultSpec(current), this)), problem_(new QLabel(this)), spec_(current) {
    setWindowTitle(tr("Network faults"));
    text_->setObjectName(QStringLiteral("faultsEdit"));
    text_->setMinimumWidth(420);
    problem_->setObjectName(QStringLiteral("faultsProblem"));
    problem_->setWordWrap(true);
    auto* help = new QLabel(tr("Comma-separated, e.g. loss=5%,burst=3,dup=1%,reorder=1%,corrupt=0.5%,delay=10ms,"
                               "jitter=5ms,reply-delay=50ms,drop-after=100,cut=2%,stall=20,hello=off; "
                               "\"none\" for no faults."),
                            this);
    help->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &FaultsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &FaultsDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(help);
    layout->addWidget(text_);
    layout->addWidget(problem_);
    layout->addWidget(buttons);
}

void FaultsDialog::accept() {
    const FaultSpecParse parse = parseFaultSpec(text_->text().trimmed());
    if (!parse.ok()) {
        problem_->setText(parse.message);
        return;
    }
    spec_ = parse.spec;
    QDialog::accept();
}
