#include "app/FaultsDialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// One row per key, each on one line; it grows with the dialog.
QTableWidget* keyTable(QWidget* parent) {
    const std::vector<FaultKeyHelp> help = faultKeyHelp();
    auto* table = new QTableWidget(int(help.size()), 2, parent);
    table->setObjectName(QStringLiteral("faultsKeys"));
    table->setHorizontalHeaderLabels({QObject::tr("Key"), QObject::tr("Fault")});
    for (int row = 0; row < int(help.size()); ++row) {
        table->setItem(row, 0, new QTableWidgetItem(help[size_t(row)].key));
        table->setItem(row, 1, new QTableWidgetItem(help[size_t(row)].meaning));
    }
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    table->setFocusPolicy(Qt::NoFocus);
    table->setWordWrap(false);
    table->verticalHeader()->hide();
    // Wide enough for the longest key and meaning in the table's own font.
    table->resizeColumnsToContents();
    table->setMinimumWidth(table->horizontalHeader()->length() + 2 * table->frameWidth() +
                           table->verticalScrollBar()->sizeHint().width());
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    table->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    table->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    return table;
}

}  // namespace

FaultsDialog::FaultsDialog(const FaultSpec& current, QWidget* parent)
    : QDialog(parent), text_(new QLineEdit(formatFaultSpec(current), this)), problem_(new QLabel(this)), spec_(current) {
    setWindowTitle(tr("Network faults"));
    text_->setObjectName(QStringLiteral("faultsEdit"));
    problem_->setObjectName(QStringLiteral("faultsProblem"));
    problem_->setWordWrap(true);
    auto* help = new QLabel(tr("Comma-separated keys, e.g. loss=5%,burst=3,delay=10ms; \"none\" for no faults. "
                               "P is a percentage (0.5%), D milliseconds or seconds (50ms, 2s), N a whole number."),
                            this);
    help->setObjectName(QStringLiteral("faultsHelp"));
    help->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &FaultsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &FaultsDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(help);
    layout->addWidget(keyTable(this), 1);
    layout->addWidget(text_);
    layout->addWidget(problem_);
    layout->addWidget(buttons);
}

void FaultsDialog::accept() {
    const FaultSpecParse parse = parseFaultSpec(text_->text().trimmed());
    if (!parse.ok()) {
        problem_->setText(parse.failure.message);
        // Taller by the message rather than the table shorter.
        resize(width(), std::max(height(), heightForWidth(width())));
        return;
    }
    spec_ = parse.spec;
    QDialog::accept();
}
