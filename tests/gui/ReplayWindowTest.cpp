// The window's recording menu: the scanner plays the recording and the view
// shows the frame being sent, until the replay is stopped.
#include "app/MainWindow.h"
#include "profile/widget/PaintWidget.h"
#include "profile/ProfileModel.h"
#include "profile/widget/ProfileView.h"

#include <QAction>
#include <QFile>
#include <QStatusBar>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class ScriptedWindow : public MainWindow {
public:
    QString answer;
    std::vector<FileQuestion> asked;

protected:
    QString askFileName(FileQuestion question) override {
        asked.push_back(question);
        return answer;
    }
};

class ReplayWindowTest : public testing::Test {
protected:
    void trigger(const char* action) { window.findChild<QAction*>(action)->trigger(); }
    QColor viewAt(ProfilePoint point) {
        return window.findChild<PaintWidget*>("paint")->grab().toImage().pixelColor(unitsToPixel(point));
    }

    ScriptedWindow window;
    const QColor shown{PaintWidget::kStoredProfileColour};
};

TEST_F(ReplayWindowTest, AFolderReplacesTheViewAndTheStreamUntilStopped) {
    const ProfilePoint drawn = pixelToUnits(100, 100);
    window.scanner().profile().replace(&drawn, 1);
    QTemporaryDir folder;
    QFile file(folder.filePath("a.csv"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("0;50\n");
    file.close();

    window.answer = folder.path();
    trigger("action_LoadRecordingFolder");
    EXPECT_EQ(window.asked.back(), MainWindow::FileQuestion::OpenCsvFolder);
    ASSERT_EQ(window.scanner().replayedPath(), folder.path());
    ProfileSnapshot sent;
    window.scanner().copyStreamedFrame(sent);
    ASSERT_EQ(sent.count(), 1);
    const ProfilePoint replayed{sent.x[0], sent.z[0]};
    EXPECT_EQ(viewAt(replayed), shown);
    EXPECT_NE(viewAt(drawn), shown);

    trigger("action_StopReplay");
    EXPECT_TRUE(window.scanner().replayedPath().isEmpty());
    EXPECT_EQ(viewAt(drawn), shown);
    EXPECT_NE(viewAt(replayed), shown);
}

TEST_F(ReplayWindowTest, ACaptureThatCannotBeReadIsReportedAndChangesNothing) {
    QTemporaryDir dir;
    window.answer = dir.filePath("missing.pcap");
    trigger("action_LoadRecording");
    EXPECT_EQ(window.asked.back(), MainWindow::FileQuestion::OpenCapture);
    EXPECT_TRUE(window.scanner().replayedPath().isEmpty());
    EXPECT_TRUE(window.statusBar()->currentMessage().contains("missing.pcap"))
        << window.statusBar()->currentMessage().toStdString();
}

}  // namespace
