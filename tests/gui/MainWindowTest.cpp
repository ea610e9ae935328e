#include "app/MainWindow.h"
#include "profile/widget/PaintWidget.h"
#include "support/TestUtil.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionButton>
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

namespace {

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

TEST_F(MainWindowTest, ScannerAddressListHoldsTheHostsIpv4AddressesOnly) {
    QStringList expected;
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            expected << address.toString();
    QComboBox* list = combo("scannerAddressCombo");
    QStringList shown;
    for (int i = 0; i < list->count(); ++i)
        shown << list->itemText(i);
    EXPECT_EQ(shown, expected);
}

TEST_F(MainWindowTest, PanelEditsReachTheRecord) {
    auto* udpAddress = find<QLineEdit>("udpAddressEdit");
    udpAddress->clear();
    type(udpAddress, "192.168.");
    EXPECT_EQ(recordUdpAddress(), "192.168.0.0");  // partial while typing
    type(udpAddress, "1.999");
    EXPECT_EQ(udpAddress->text(), "192.168.1.99");  // a part above 255 is refused
    EXPECT_EQ(recordUdpAddress(), "192.168.1.99");

    spin("udpPortSpin")->setValue(7001);
    spin("tcpPortSpin")->setValue(65535);
    combo("bufferSizeCombo")->setCurrentIndex(4);
    EXPECT_EQ(int(record().udp_port_u16), 7001);
    EXPECT_EQ(int(record().tcp_port_u16), 65535);
    EXPECT_EQ(int(record().interpolation_u8), 4);
}

TEST_F(MainWindowTest, DhsModeSetsTheRateLimitAndBaseSyncPinsTheRateInPanelAndRecord) {
    QComboBox* mode = combo("modeCombo");
    QComboBox* sync = combo("syncCombo");
    QSpinBox* freq = spin("freqSpin");
    const auto rate = [&] {
        EXPECT_EQ(int(record().udp_frequency_u16), freq->value());
        return freq->value();
    };
    // Loading the record already brought the rate in line with Base and Off.
    EXPECT_EQ(rate(), 249);
    EXPECT_FALSE(freq->isEnabled());
    mode->setCurrentIndex(1);
    EXPECT_EQ(rate(), 491);
    EXPECT_EQ(int(record().dhs_enable_u8), 1);
    mode->setCurrentIndex(0);
    EXPECT_EQ(rate(), 249);
    EXPECT_EQ(int(record().dhs_enable_u8), 0);

    sync->setCurrentIndex(1);  // Internal: the user picks the rate within the mode's limit
    EXPECT_TRUE(freq->isEnabled());
    mode->setCurrentIndex(1);
    freq->setValue(400);
    EXPECT_EQ(rate(), 400);
    mode->setCurrentIndex(0);
    EXPECT_EQ(rate(), 249);
    sync->setCurrentIndex(0);
    EXPECT_EQ(rate(), 249);
    EXPECT_FALSE(freq->isEnabled());
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
}

TEST_F(MainWindowTest, RecordedValuesThePanelLacksGiveWayToAShownEntry) {
    // List values just past the list keep the shown entry, in the record too.
    clientWrites([](USER_PARAMS& p) {
        p.interpolation_u8 = 5;
        p.dhs_enable_u8 = 2;
    });
    EXPECT_EQ(combo("bufferSizeCombo")->currentText(), "640");
    EXPECT_EQ(int(record().interpolation_u8), 3);
    EXPECT_EQ(combo("modeCombo")->currentIndex(), 0);
    EXPECT_EQ(int(record().dhs_enable_u8), 0);

    // A scanner address the host lacks gives way to the first entry, also
    // when that entry was selected already and nothing fires.
    QComboBox* addresses = combo("scannerAddressCombo");
    if (addresses->count() > 1)
        addresses->setCurrentIndex(1);
    for (const char* absent : {"203.0.113.77", "203.0.113.78"}) {
        clientWrites([absent](USER_PARAMS& p) { ipv4TextToField(absent, p.tcp_ip_address_u8); });
        EXPECT_EQ(addresses->currentIndex(), 0);
        EXPECT_EQ(recordTcpAddress(), addresses->itemText(0));
    }
}

TEST_F(MainWindowTest, StartStoresThePanelAndSelects640PointsStopAndCloseEndTheRun) {
    combo("bufferSizeCombo")->setCurrentIndex(0);
    spin("tcpPortSpin")->setValue(1620);
    button("startBtn")->click();
    EXPECT_TRUE(window.isRunning());
    EXPECT_FALSE(button("startBtn")->isEnabled());
    EXPECT_EQ(combo("bufferSizeCombo")->currentIndex(), 3);
    EXPECT_EQ(int(record().interpolation_u8), 3);
    EXPECT_EQ(recordTcpAddress(), combo("scannerAddressCombo")->currentText());

    button("stopBtn")->click();
    EXPECT_FALSE(window.isRunning());
    EXPECT_TRUE(button("startBtn")->isEnabled());
    EXPECT_FALSE(button("stopBtn")->isEnabled());

    button("startBtn")->click();
    window.close();
    EXPECT_FALSE(window.isRunning());
}

TEST_F(MainWindowTest, ToolListAndClearButtonDriveTheDrawingArea) {
    auto* paint = find<PaintWidget>("paint");
    combo("paintModeCombo")->setCurrentIndex(2);
    EXPECT_EQ(paint->paintMode(), PaintMode::Arcs);
    paint->profile().append(ProfilePoint{1, 1});
    button("clearBtn")->click();
    EXPECT_EQ(paint->profile().count(), 0);
}

namespace {
// Where the style draws a widget's text, for the kinds of widget that show one.
std::optional<QRect> textArea(QWidget* widget) {
    QStyleOptionButton option;
    option.initFrom(widget);
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->contentsRect();
    auto* button = qobject_cast<QAbstractButton*>(widget);
    if (!button)
        return std::nullopt;
    option.text = button->text();
    const bool box = qobject_cast<QCheckBox*>(widget);
    return widget->style()->subElementRect(box ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents,
                                           &option, widget);
}
}  // namespace

TEST_F(MainWindowTest, EveryTextOfTheFormFitsItsWidget) {
    window.show();
    for (QWidget* widget : window.centralWidget()->findChildren<QWidget*>()) {
        const std::optional<QRect> area = textArea(widget);
        if (!area)
            continue;
        const auto* label = qobject_cast<QLabel*>(widget);
        const QString text = label ? label->text() : qobject_cast<QAbstractButton*>(widget)->text();
        const QSize size = widget->fontMetrics().size(Qt::TextShowMnemonic, text);
        EXPECT_GE(area->width(), size.width()) << widget->objectName().toStdString();
        EXPECT_GE(area->height(), size.height()) << widget->objectName().toStdString();
    }
}
