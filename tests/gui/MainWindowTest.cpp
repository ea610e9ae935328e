#include "app/MainWindow.h"
#include "profile/widget/PaintWidget.h"
#include "support/TestUtil.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QStyle>
#include <QStyleOptionButton>
#include <QApplication>
#include <QComboBox>
#include <QHostAddress>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

namespace {

QStringList itemsOf(const QComboBox* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i)
        items << list->itemText(i);
    return items;
}

QStringList hostIpv4Addresses() {
    QStringList addresses;
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            addresses << address.toString();
    return addresses;
}

class MainWindowTest : public ::testing::Test {
protected:
    template <typename W>
    W* find(const char* name) {
        W* widget = window.findChild<W*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QComboBox* combo(const char* name) { return find<QComboBox>(name); }
    QSpinBox* spin(const char* name) { return find<QSpinBox>(name); }
    QPushButton* button(const char* name) { return find<QPushButton>(name); }
    USER_PARAMS record() { return window.params().snapshot(); }
    QString recordUdpAddress() { return ipv4FieldToText(record().udp_ip_address_u8); }
    QString recordTcpAddress() { return ipv4FieldToText(record().tcp_ip_address_u8); }

    // Replaces the record as a client would, then lets the panel follow it.
    template <typename Change>
    void clientWrites(Change change) {
        USER_PARAMS params = record();
        change(params);
        window.params().replace(params);
        window.onUserParamsUpdated();
    }

    void type(QWidget* target, const QString& text) {
        for (QChar c : text) {
            QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QCoreApplication::sendEvent(target, &key);
        }
    }

    MainWindow window;
};

}  // namespace

TEST_F(MainWindowTest, FormHasTheFixedGeometryAndInitialState) {
    // The status bar for file messages sits below the 890 x 530 form.
    const QSize fixed(890, 530 + window.statusBar()->sizeHint().height());
    EXPECT_EQ(window.size(), fixed);
    EXPECT_EQ(window.minimumSize(), fixed);
    EXPECT_EQ(window.maximumSize(), fixed);
    auto* paint = find<PaintWidget>("paint");
    EXPECT_EQ(paint->geometry(), QRect(230, 20, 640, 480));

    EXPECT_TRUE(button("startBtn")->isEnabled());
    EXPECT_FALSE(button("stopBtn")->isEnabled());
    EXPECT_EQ(combo("bufferSizeCombo")->currentText(), "640");

    // List indices are the values stored in the record, so the order matters.
    EXPECT_EQ(itemsOf(combo("modeCombo")), QStringList({"Off", "On"}));
    EXPECT_EQ(itemsOf(combo("syncCombo")), QStringList({"Base", "Internal"}));
    EXPECT_EQ(itemsOf(combo("bufferSizeCombo")), QStringList({"80", "160", "320", "640", "1280"}));
    EXPECT_EQ(itemsOf(combo("paintModeCombo")), QStringList({"Dots", "Lines", "Arcs"}));
    EXPECT_EQ(itemsOf(combo("scannerAddressCombo")), hostIpv4Addresses());

    const auto menus = window.menuBar()->findChildren<QMenu*>("menu_About");
    ASSERT_EQ(menus.size(), 1);
    EXPECT_EQ(menus[0]->title(), "&Help");
    ASSERT_EQ(menus[0]->actions().size(), 1);
    EXPECT_EQ(menus[0]->actions()[0]->text(), "&About");
}

TEST_F(MainWindowTest, PanelEditsReachTheRecord) {
    auto* udpAddress = find<QLineEdit>("udpAddressEdit");
    udpAddress->clear();
    udpAddress->setCursorPosition(0);
    type(udpAddress, "192.168.");
    EXPECT_EQ(udpAddress->text(), "192.168.");  // as typed: no mask placeholders
    EXPECT_EQ(recordUdpAddress(), "192.168.0.0");
    type(udpAddress, "1.999");
    EXPECT_EQ(udpAddress->text(), "192.168.1.99");  // a part above 255 is refused
    EXPECT_EQ(recordUdpAddress(), "192.168.1.99");

    spin("udpPortSpin")->setValue(7001);
    EXPECT_EQ(int(record().udp_port_u16), 7001);
    spin("tcpPortSpin")->setValue(65535);
    EXPECT_EQ(int(record().tcp_port_u16), 65535);

    combo("bufferSizeCombo")->setCurrentIndex(4);
    EXPECT_EQ(int(record().interpolation_u8), 4);

    QComboBox* addresses = combo("scannerAddressCombo");
    if (addresses->count() > 1) {
        addresses->setCurrentIndex(addresses->count() - 1);
        EXPECT_EQ(recordTcpAddress(), addresses->currentText());
    }
}

TEST_F(MainWindowTest, DhsModeSetsTheRateLimitAndBaseSyncPinsTheRate) {
    QComboBox* mode = combo("modeCombo");
    QComboBox* sync = combo("syncCombo");
    QSpinBox* freq = spin("freqSpin");
    // Loading the record already brought the rate in line with Base and Off.
    EXPECT_EQ(freq->value(), 249);
    EXPECT_EQ(freq->maximum(), 249);
    EXPECT_FALSE(freq->isEnabled());

    mode->setCurrentIndex(1);  // Base sync: the rate follows the mode
    EXPECT_EQ(freq->value(), 491);
    EXPECT_FALSE(freq->isEnabled());
    EXPECT_EQ(int(record().dhs_enable_u8), 1);
    mode->setCurrentIndex(0);
    EXPECT_EQ(freq->value(), 249);
    EXPECT_EQ(freq->maximum(), 249);
    EXPECT_EQ(int(record().dhs_enable_u8), 0);

    sync->setCurrentIndex(1);  // Internal: the user picks the rate
    EXPECT_TRUE(freq->isEnabled());
    EXPECT_EQ(freq->value(), 249);
    mode->setCurrentIndex(1);
    EXPECT_TRUE(freq->isEnabled());
    freq->setValue(400);
    mode->setCurrentIndex(0);
    EXPECT_EQ(freq->value(), 249);
    mode->setCurrentIndex(1);
    EXPECT_EQ(freq->value(), 249);
    EXPECT_EQ(freq->minimum(), 1);

    mode->setCurrentIndex(0);
    sync->setCurrentIndex(0);  // asks for 250, limited to the Off maximum
    EXPECT_EQ(freq->value(), 249);
    EXPECT_FALSE(freq->isEnabled());
    sync->setCurrentIndex(1);
    EXPECT_TRUE(freq->isEnabled());
    EXPECT_EQ(freq->value(), 249);
}

TEST_F(MainWindowTest, RecordedScannerAddressTheHostLacksGivesWayToTheFirstEntry) {
    QComboBox* addresses = combo("scannerAddressCombo");
    ASSERT_GT(addresses->count(), 0);  // the host always has 127.0.0.1
    if (addresses->count() > 1)
        addresses->setCurrentIndex(1);
    clientWrites([](USER_PARAMS& p) { ipv4TextToField("203.0.113.77", p.tcp_ip_address_u8); });
    EXPECT_EQ(addresses->currentIndex(), 0);
    EXPECT_EQ(recordTcpAddress(), addresses->itemText(0));

    // Also when the first entry was selected already and nothing fires.
    clientWrites([](USER_PARAMS& p) { ipv4TextToField("203.0.113.78", p.tcp_ip_address_u8); });
    EXPECT_EQ(recordTcpAddress(), addresses->itemText(0));
}

TEST_F(MainWindowTest, RecordFromAClientIsShownInThePanel) {
    clientWrites([&](USER_PARAMS& p) {
        ipv4TextToField("10.1.2.3", p.udp_ip_address_u8);
        p.udp_port_u16 = 5000;
        p.udp_frequency_u16 = 100;
        p.tcp_port_u16 = 1234;
        p.dhs_enable_u8 = 1;
        p.interpolation_u8 = 1;
    });
    EXPECT_EQ(find<QLineEdit>("udpAddressEdit")->text(), "10.1.2.3");
    EXPECT_EQ(spin("udpPortSpin")->value(), 5000);
    EXPECT_EQ(spin("tcpPortSpin")->value(), 1234);
    EXPECT_EQ(combo("modeCombo")->currentIndex(), 1);
    EXPECT_EQ(spin("freqSpin")->value(), 491);  // Base sync follows DHS on
    EXPECT_EQ(combo("bufferSizeCombo")->currentIndex(), 1);
    EXPECT_EQ(recordUdpAddress(), "10.1.2.3");
    EXPECT_EQ(int(record().tcp_port_u16), 1234);
    EXPECT_EQ(int(record().interpolation_u8), 1);
}

TEST_F(MainWindowTest, MatchingRecordChangesNothing) {
    // Bring record and panel in line first, then apply the same record again.
    clientWrites([](USER_PARAMS& p) { p.udp_frequency_u16 = 250; });
    const USER_PARAMS before = record();
    int changes = 0;
    for (QSpinBox* box : window.findChildren<QSpinBox*>())
        QObject::connect(box, qOverload<int>(&QSpinBox::valueChanged), [&] { ++changes; });
    for (QComboBox* list : window.findChildren<QComboBox*>())
        QObject::connect(list, qOverload<int>(&QComboBox::currentIndexChanged), [&] { ++changes; });
    QObject::connect(find<QLineEdit>("udpAddressEdit"), &QLineEdit::textChanged, [&] { ++changes; });

    window.onUserParamsUpdated();

    EXPECT_EQ(changes, 0);
    const USER_PARAMS after = record();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

TEST_F(MainWindowTest, RecordedListValuesOutsideTheListKeepTheShownEntry) {
    clientWrites([](USER_PARAMS& p) {
        p.interpolation_u8 = 9;
        p.dhs_enable_u8 = 7;
    });
    EXPECT_EQ(combo("bufferSizeCombo")->currentText(), "640");
    EXPECT_EQ(int(record().interpolation_u8), 3);
    EXPECT_EQ(combo("modeCombo")->currentIndex(), 0);
    EXPECT_EQ(int(record().dhs_enable_u8), 0);
}

TEST_F(MainWindowTest, StartAndStopSwitchTheButtonsAndStartSelects640Points) {
    combo("bufferSizeCombo")->setCurrentIndex(0);
    spin("tcpPortSpin")->setValue(1620);
    button("startBtn")->click();
    EXPECT_TRUE(window.isRunning());
    EXPECT_FALSE(button("startBtn")->isEnabled());
    EXPECT_TRUE(button("stopBtn")->isEnabled());
    EXPECT_EQ(combo("bufferSizeCombo")->currentIndex(), 3);
    EXPECT_EQ(int(record().interpolation_u8), 3);
    EXPECT_EQ(int(record().tcp_port_u16), 1620);
    EXPECT_EQ(recordTcpAddress(), combo("scannerAddressCombo")->currentText());
    EXPECT_EQ(recordUdpAddress(), "255.255.255.255");

    button("stopBtn")->click();
    EXPECT_FALSE(window.isRunning());
    EXPECT_TRUE(button("startBtn")->isEnabled());
    EXPECT_FALSE(button("stopBtn")->isEnabled());
    button("stopBtn")->click();  // disabled: nothing happens
    EXPECT_FALSE(window.isRunning());

    button("startBtn")->click();
    EXPECT_TRUE(window.isRunning());
    window.close();  // closing while running stops first
    EXPECT_FALSE(window.isRunning());
    EXPECT_FALSE(window.isVisible());
}

TEST_F(MainWindowTest, ToolListAndClearButtonDriveTheDrawingArea) {
    auto* paint = find<PaintWidget>("paint");
    combo("paintModeCombo")->setCurrentIndex(2);
    EXPECT_EQ(paint->paintMode(), PaintMode::Arcs);
    combo("paintModeCombo")->setCurrentIndex(0);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(paint, &press);
    ASSERT_EQ(paint->dots().size(), 1u);
    button("clearBtn")->click();
    EXPECT_TRUE(paint->dots().empty());
    EXPECT_EQ(paint->profile().count(), 0);
}

namespace {
// Where the style draws a widget's text, for the kinds of widget that show one.
std::optional<QRect> textArea(QWidget* widget) {
    QStyleOptionButton option;
    option.initFrom(widget);
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->contentsRect();
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        option.text = button->text();
        return widget->style()->subElementRect(QStyle::SE_PushButtonContents, &option, widget);
    }
    if (auto* box = qobject_cast<QCheckBox*>(widget)) {
        option.text = box->text();
        return widget->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, widget);
    }
    return std::nullopt;
}

QString shownText(QWidget* widget) {
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->text();
    return qobject_cast<QAbstractButton*>(widget)->text();
}
}  // namespace

TEST_F(MainWindowTest, EveryTextOfTheFormFitsItsWidget) {
    window.show();
    for (QWidget* widget : window.centralWidget()->findChildren<QWidget*>()) {
        const std::optional<QRect> area = textArea(widget);
        if (!area)
            continue;
        const QSize text = widget->fontMetrics().size(Qt::TextShowMnemonic, shownText(widget));
        EXPECT_GE(area->width(), text.width()) << widget->objectName().toStdString();
        EXPECT_GE(area->height(), text.height()) << widget->objectName().toStdString();
    }
}
