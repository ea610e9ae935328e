#include "gui/WindowTestSupport.h"
#include "profile/widget/PaintWidget.h"
#include "tcp/RequestHeader.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>

namespace {

// A window whose CSV file dialogs give prepared answers ("" cancels).
class ScriptedWindow : public MainWindow {
public:
    using MainWindow::MainWindow;
    QStringList answers;
    std::vector<FileQuestion> asked;

protected:
    QString askFileName(FileQuestion question) override {
        asked.push_back(question);
        return answers.takeFirst();
    }
};

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class FilesWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QFile::copy(PX310_ASSETS_DIR "/kelvora.jpg", dir.filePath("kelvora.jpg")));
    }

    void writeFile(const QString& name, const QByteArray& text) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    }

    void open() { window = std::make_unique<ScriptedWindow>(nullptr, dir.path()); }

    template <typename W>
    W* find(const char* name) {
        W* widget = window->findChild<W*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    int spinValue(const char* name) { return find<QSpinBox>(name)->value(); }
    ProfileStore& profile() { return find<PaintWidget>("paint")->profile(); }
    void click(const char* name) { find<QPushButton>(name)->click(); }
    QString status() { return window->statusBar()->currentMessage(); }
    USER_PARAMS record() { return window->params().snapshot(); }

    QTemporaryDir dir;
    std::unique_ptr<ScriptedWindow> window;
};

TEST_F(FilesWindow, StartsFromTheParameterFileAndFlushWritesItBack) {
    writeFile("user_params.ini",
              "[UserParams]\n"
              "udp_port_u16=7007\n"
              "interpolation_u8=9\n"
              "serial=4242\n"
              "xsmr=5000\n"
              "zbase=0\n");
    open();
    EXPECT_EQ(spinValue("udpPortSpin"), 7007);
    EXPECT_EQ(spinValue("serialNumSpin"), 4242);
    EXPECT_EQ(spinValue("xsmrSpin"), 1000);
    EXPECT_EQ(spinValue("zbaseSpin"), 1);
    EXPECT_EQ(int(record().interpolation_u8), 3);  // the list lacks 9: "640"

    find<QSpinBox>("serialNumSpin")->setValue(777);
    click("flushBtn");
    QSettings saved(dir.filePath("user_params.ini"), QSettings::IniFormat);
    EXPECT_EQ(saved.value("UserParams/serial").toString(), "777");
    EXPECT_EQ(saved.value("UserParams/udp_port_u16").toInt(), 7007);
    EXPECT_TRUE(status().contains("saved")) << status().toStdString();

    // A directory where the file should be: the replacing rename fails.
    ASSERT_TRUE(QFile::remove(dir.filePath("user_params.ini")) && QDir(dir.path()).mkdir("user_params.ini"));
    click("flushBtn");
    EXPECT_TRUE(status().startsWith("cannot write")) << status().toStdString();
}

TEST_F(FilesWindow, ClientFlushCommandSavesTheParameters) {
    open();
    const quint16 port = serveOnLoopback(*window);
    find<QSpinBox>("serialNumSpin")->setValue(31337);
    window->on_startBtn_clicked();
    auto client = connectWhenListening(port);
    constexpr uint32_t kFlushParams = 6;
    client->write(encodeRequest(kFlushParams));
    const QString ini = dir.filePath("user_params.ini");
    EXPECT_TRUE(waitUntil([&] { return QFile::exists(ini); }));
    EXPECT_EQ(QSettings(ini, QSettings::IniFormat).value("UserParams/serial").toString(), "31337");
    client.reset();
    window->on_stopBtn_clicked();
}

TEST_F(FilesWindow, CsvImportReplacesTheProfileOnlyWhenItSucceeds) {
    writeFile("profile.csv", "-17.5;85\n17.5;0\n");
    const QString csv = dir.filePath("profile.csv");
    open();
    const std::vector<ProfilePoint> drawn{{1, 2}, {3, 4}, {5, 6}};
    profile().replace(drawn);

    window->answers = QStringList{"", dir.filePath("absent.csv"), csv};
    click("loadDotsBtn");  // cancelled
    click("loadDotsBtn");
    EXPECT_EQ(profile().points(), drawn);
    EXPECT_TRUE(status().contains("absent.csv")) << status().toStdString();

    find<QSpinBox>("xemrSpin")->setValue(70);
    EXPECT_TRUE(repaints(find<PaintWidget>("paint"), [&] { click("loadDotsBtn"); }));  // shows what it stored
    EXPECT_EQ(window->asked, std::vector<MainWindow::FileQuestion>(3, MainWindow::FileQuestion::OpenCsv));
    EXPECT_EQ(profile().points(), (std::vector<ProfilePoint>{{-4096, 8192}, {4096, 0}}));
    EXPECT_TRUE(status().contains("loaded 2 points")) << status().toStdString();
}

TEST_F(FilesWindow, CsvExportWritesTheProfileMirroredOrSaysWhyNot) {
    open();
    profile().replace(std::vector<ProfilePoint>{{4096, 8192}});
    const QString csv = dir.filePath("out.csv");

    window->answers = QStringList{"", csv, dir.filePath("no/such/dir/out.csv")};
    click("saveDotsBtn");  // cancelled
    EXPECT_FALSE(QFile::exists(csv));

    click("saveDotsBtn");
    EXPECT_EQ(readFile(csv), "-17.5;85\n");
    EXPECT_EQ(window->asked, std::vector<MainWindow::FileQuestion>(2, MainWindow::FileQuestion::SaveCsv));

    click("saveDotsBtn");
    EXPECT_TRUE(status().startsWith("cannot write")) << status().toStdString();
    EXPECT_TRUE(waitUntil([&] { return status().isEmpty(); }, 10000));  // file messages time out
}

TEST(FilesWindowDeathTest, MissingPictureEndsTheProgramWithAFailureStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QTemporaryDir empty;
    ASSERT_TRUE(empty.isValid());
    EXPECT_EXIT(
        {
            // Closes the message box once it is up, telling what it said.
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, [] {
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    std::fprintf(stderr, "box: %s\n", qPrintable(box->text()));
                    box->accept();
                }
            });
            poll.start(10);
            MainWindow window(nullptr, empty.path());
        },
        ::testing::ExitedWithCode(EXIT_FAILURE), "box: Use 640x480 image!");
}

}  // namespace
