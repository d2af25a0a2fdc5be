// A pair of arrow buttons that step a whole-number position between a
// minimum and a maximum, for an edit that shows the number but cannot be
// typed into. The owner copies `position` into its edit on positionChanged.
//
// For screen readers and other assistive tools the spinner is a spin box
// that offers its position through Qt's value interface (read, set within
// the bounds while enabled, announced when it changes) and increase and
// decrease actions; the arrow buttons carry Persian names with the English
// in their descriptions. The keyboard reaches the number through the edit,
// whose owner steps the spinner on the arrow keys; the buttons take no focus.
#pragma once

#include <QWidget>

class QToolButton;

class UpDownSpinner : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int minimum READ minimum WRITE setMinimum)
    Q_PROPERTY(int maximum READ maximum WRITE setMaximum)
    Q_PROPERTY(int position READ position WRITE setPosition NOTIFY positionChanged)

public:
    explicit UpDownSpinner(QWidget* parent = nullptr);

    int minimum() const { return m_minimum; }
    int maximum() const { return m_maximum; }
    int position() const { return m_position; }
    // A bound beyond the other moves it along, and the position is kept
    // inside the range.
    void setMinimum(int value);
    void setMaximum(int value);
    // Clamped to the range; emits positionChanged when the value changes.
    void setPosition(int value);
    // Moves by `steps` (negative: down), stopping at the bounds.
    void stepBy(int steps);

    QToolButton* upButton() const { return m_up; }
    QToolButton* downButton() const { return m_down; }

    QSize sizeHint() const override;

signals:
    void positionChanged(int position);

protected:
    void wheelEvent(QWheelEvent* event) override;

private:
    QToolButton* m_up;
    QToolButton* m_down;
    int m_minimum = 0;
    int m_maximum = 100;
    int m_position = 0;
};
