// A label whose text always runs left to right, whatever its letters.
//
// A plain label picks the direction of its text from the first strong
// letter, so a Persian caption that starts with ":" would be laid out right
// to left with the colon at its right end. The counters' captions are meant
// to be read left to right, colon first, with the value placed to their left.
#pragma once

#include <QLabel>

class LeftToRightLabel : public QLabel {
    Q_OBJECT

public:
    explicit LeftToRightLabel(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
