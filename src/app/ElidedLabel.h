#pragma once

#include <QLabel>

// A one-line label that gives way to its neighbours: a text wider than the
// label ends in "…", and the whole text is always the tooltip.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

    // Text and tooltip at once.
    void setFullText(const QString& text);
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};
