#pragma once

#include "params/UserParams.h"
#include "profile/ProfileModel.h"
#include "profile/ProfileStore.h"

#include <QWidget>

#include <memory>
#include <optional>

// The 640 x 480 drawing area. Mouse input goes to the drawing model, which
// writes the profile the workers read; the view paints the drawn dots, the
// stored profile that clients receive, the scales and the current line or arc.
class PaintWidget : public QWidget {
    Q_OBJECT
public:
    // The stored profile's colour, apart from the drawn dots' red.
    static constexpr Qt::GlobalColor kStoredProfileColour = Qt::green;

    explicit PaintWidget(QWidget* parent = nullptr);
    ~PaintWidget() override;

    // The scanner's profile, which the workers read (through snapshots only);
    // valid after setUserParams().
    ProfileStore& profile() { return *profile_; }
    // The drawn dots; empty until setUserParams() has been called.
    const std::vector<Dot>& dots() const;
    PaintMode paintMode() const { return paintMode_; }
    // The words at the top left corner: what the dots are and how many.
    QString dotsCaption() const;
    // Inside the form's yellow frame: the profile and the dots are drawn only there.
    static QRect frameInterior();

public slots:
    void onXemrUpdated(int xemr);
    void onZdiapUpdated(int zdiap);
    void clearDots();
    // Draws the built-in profile at point-count index `pointCountIndex`; the
    // user's first press in the area clears it before drawing.
    void showBuiltInProfile(int pointCountIndex);
    // Creates the drawing model on the scanner's record (which gives the
    // point-count selection) and profile; mouse input is ignored before this call.
    void setUserParams(UserParamsStore* userParams, ProfileStore* profile);
    void onBufferSizeChanged(int index);
    void setCurrentPaintMode(int mode);
    // While set, the view shows this frame (of a recording being replayed) in
    // place of the stored profile.
    void showFrame(std::optional<ProfileSnapshot> frame);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // The segment kept for a tool; null for Dots.
    std::optional<Segment>* segmentOf(PaintMode tool);
    const std::optional<Segment>* segmentOf(PaintMode tool) const;
    void paintDots(QPainter& painter) const;
    void paintStoredProfile(QPainter& painter) const;
    void paintScales(QPainter& painter) const;
    void paintSegmentPreview(QPainter& painter) const;

    ProfileStore* profile_ = nullptr;
    std::unique_ptr<ProfileModel> model_;
    bool mousePressed_ = false;
    // The tool of the drag in progress: a tool change mid-drag applies from
    // the next press, so a release never commits another tool's old segment.
    PaintMode dragTool_ = PaintMode::Dots;
    int xemr_ = 0;
    int zdiap_ = 0;
    PaintMode paintMode_ = PaintMode::Dots;
    std::optional<Segment> line_;
    std::optional<Segment> arc_;
    std::optional<ProfileSnapshot> frame_;
    bool showsBuiltIn_ = false;
};
