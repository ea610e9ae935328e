#include "params/UserParamsIni.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <cstddef>
#include <algorithm>
#include <cstring>
#include <tuple>

namespace {

constexpr int kNamedBytes = offsetof(USER_PARAMS, reserved);

uint8_t* bytesOf(USER_PARAMS& p) { return reinterpret_cast<uint8_t*>(&p); }

USER_PARAMS filledRecord(uint8_t named, uint8_t reserved) {
    USER_PARAMS p;
    std::memset(&p, named, kNamedBytes);
    std::memset(p.reserved, reserved, sizeof p.reserved);
    return p;
}

void writeFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool reservedBytesAre(const USER_PARAMS& p, uint8_t value) {
    return std::all_of(std::begin(p.reserved), std::end(p.reserved), [value](uint8_t b) { return b == value; });
}

class UserParamsIniFile : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path() const { return dir.filePath("user_params.ini"); }
};

TEST_F(UserParamsIniFile, SaveThenLoadGivesBackEveryNamedByteAndThePanelValues) {
    USER_PARAMS saved = filledRecord(0, 0);
    for (int i = 0; i < kNamedBytes; ++i) bytesOf(saved)[i] = static_cast<uint8_t>(i * 37 + 200);
    saved.interpolation_u8 = 2;  // must be a valid list index to survive the load
    ipv4TextToField("192.168.0.10", saved.tcp_ip_address_u8);
    const PanelExtras extras{987654, 17, 1000};

    QString error;
    ASSERT_TRUE(saveUserParamsIni(path(), saved, extras, &error)) << error.toStdString();

    USER_PARAMS loaded = filledRecord(0, 0xA5);
    const UserParamsIniLoad result = loadUserParamsIni(path(), loaded);
    EXPECT_EQ(0, std::memcmp(&saved, &loaded, kNamedBytes));
    EXPECT_TRUE(reservedBytesAre(loaded, 0xA5));
    EXPECT_EQ(std::tie(result.extras.serial, result.extras.xsmr, result.extras.zbase), std::make_tuple(987654, 17, 1000));
    EXPECT_TRUE(result.warnings.isEmpty()) << result.warnings.join("; ").toStdString();

    // Addresses are dotted text, the serial decimal text.
    const QByteArray text = readFile(path());
    EXPECT_TRUE(text.contains("tcp_ip_address_u8=192.168.0.10") && text.contains("serial=987654"));
}

TEST_F(UserParamsIniFile, HandWrittenValuesAreReadWithTheFieldRules) {
    writeFile(path(),
              "[UserParams]\n"
              "laser_level_u8=300\n"      // u8: low 8 bits
              "wnd_top_u8=300\n"          // 16 bits wide despite the name
              "udp_port_u16=70000\n"      // low 16 bits: 4464
              "config_version_u16=-1\n"   // two's complement low bits
              "exposure_time_u16=abc\n"   // not a number
              "tcp_port_u16=12x\n"        // not a number either
              "udp_frequency_u16=1.5\n"   // not an integer
              "tcp_ip_address_u8=10.1\n"  // short address: missing parts are 0
              "interpolation_u8=5\n"  // one past the list
              "serial=1234567\n"
              "xsmr=0\n"
              "zbase=5000\n");
    USER_PARAMS p = filledRecord(0xEE, 0x5A);
    const UserParamsIniLoad result = loadUserParamsIni(path(), p);

    EXPECT_EQ(p.laser_level_u8, 44);
    EXPECT_EQ(int(p.wnd_top_u8), 300);
    EXPECT_EQ(int(p.udp_port_u16), 4464);
    EXPECT_EQ(int(p.config_version_u16), 0xFFFF);
    EXPECT_EQ(int(p.exposure_time_u16) + p.tcp_port_u16 + p.udp_frequency_u16, 0);
    EXPECT_EQ(ipv4FieldToText(p.tcp_ip_address_u8), "10.1.0.0");
    EXPECT_EQ(int(p.SDChannels), 0);  // absent from the file

    EXPECT_EQ(p.interpolation_u8, kDefaultPointCountIndex);
    EXPECT_TRUE(result.warnings.join(' ').contains("interpolation_u8 5")) << result.warnings.join("; ").toStdString();
    EXPECT_EQ(std::tie(result.extras.serial, result.extras.xsmr, result.extras.zbase), std::make_tuple(999999, 1, 1000));
    EXPECT_TRUE(reservedBytesAre(p, 0x5A));
}

TEST_F(UserParamsIniFile, MissingOrUnreadableFileGivesZerosAndTheSpinBoxMinimums) {
    const QString directoryInstead = dir.filePath("adir");
    ASSERT_TRUE(QDir().mkdir(directoryInstead));
    const QString headerOnly = dir.filePath("header.ini");
    writeFile(headerOnly, "[UserParams]\n");
    const QString fifo = dir.filePath("fifo.ini");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const QString huge = dir.filePath("huge.ini");  // read whole, it would cost memory many times its size
    writeFile(huge, "[UserParams]\nudp_port_u16=5\n" + QByteArray(1 << 20, ';'));

    for (const QString& file : {path(), directoryInstead, headerOnly, fifo, huge}) {
        USER_PARAMS p = filledRecord(0xEE, 0x5A);
        const UserParamsIniLoad result = loadUserParamsIni(file, p);
        const USER_PARAMS zeros = filledRecord(0, 0x5A);
        EXPECT_EQ(0, std::memcmp(&p, &zeros, sizeof p)) << file.toStdString();
        EXPECT_EQ(std::tie(result.extras.serial, result.extras.xsmr, result.extras.zbase),
                  std::tie(kSerialRange.min, kXsmrRange.min, kZbaseRange.min));
    }
    USER_PARAMS p = filledRecord(0, 0);
    EXPECT_FALSE(loadUserParamsIni(path(), p).warnings.isEmpty());
    EXPECT_TRUE(loadUserParamsIni(huge, p).warnings.join('\n').contains("not read"));
    EXPECT_TRUE(loadUserParamsIni(headerOnly, p).warnings.join('\n').contains("tcp_port_u16 is 0"));
}

}  // namespace
