#include "app/FaultsDialog.h"
#include "app/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

QLineEdit* editOf(QWidget* dialog) { return dialog->findChild<QLineEdit*>(QStringLiteral("faultsEdit")); }

}  // namespace

TEST(FaultsDialog, ShowsTheCurrentFaultListAndRefusesABadOneWithTheParsersMessage) {
    FaultsDialog dialog(parseFaultSpec(QStringLiteral("loss=5%,hello=off")).spec);
    QLineEdit* edit = editOf(&dialog);
    EXPECT_EQ(edit->text(), QStringLiteral("loss=5%,hello=off"));

    edit->setText(QStringLiteral("loss=5%,burst=x"));
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(dialog.findChild<QLabel*>(QStringLiteral("faultsProblem"))->text(),
              parseFaultSpec(QStringLiteral("loss=5%,burst=x")).message);
    EXPECT_EQ(formatFaultSpec(dialog.spec()), QStringLiteral("loss=5%,hello=off"));

    edit->setText(QStringLiteral(" dup=1% "));
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(formatFaultSpec(dialog.spec()), QStringLiteral("dup=1%"));
}

TEST(FaultsDialog, TheWindowsMenuEntrySetsTheScannersFaults) {
    MainWindow window;
    QAction* action = window.findChild<QAction*>(QStringLiteral("actionNetworkFaults"));
    ASSERT_NE(action, nullptr);
    QTimer::singleShot(0, [] {
        auto* dialog = qobject_cast<FaultsDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        editOf(dialog)->setText(QStringLiteral("reply-delay=50ms"));
        dialog->accept();
    });
    action->trigger();
    EXPECT_EQ(formatFaultSpec(window.scanner().faults()), QStringLiteral("reply-delay=50ms"));
}
