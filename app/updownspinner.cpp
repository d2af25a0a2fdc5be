#include "app/updownspinner.h"

#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>

UpDownSpinner::UpDownSpinner(QWidget* parent)
    : QWidget(parent), m_up(new QToolButton(this)), m_down(new QToolButton(this))
{
    m_up->setArrowType(Qt::UpArrow);
    m_down->setArrowType(Qt::DownArrow);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (QToolButton* button : {m_up, m_down}) {
        // The buttons step the number; focus stays with the edit beside them.
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoRepeat(true);
        button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
        button->setFixedWidth(16);
        button->setIconSize(QSize(7, 7));
        layout->addWidget(button);
    }
    connect(m_up, &QToolButton::clicked, this, [this] { stepBy(1); });
    connect(m_down, &QToolButton::clicked, this, [this] { stepBy(-1); });
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
}

void UpDownSpinner::setMinimum(int value)
{
    m_minimum = value;
    m_maximum = std::max(m_maximum, value);
    setPosition(m_position);
}

void UpDownSpinner::setMaximum(int value)
{
    m_maximum = value;
    m_minimum = std::min(m_minimum, value);
    setPosition(m_position);
}

void UpDownSpinner::setPosition(int value)
{
    value = std::clamp(value, m_minimum, m_maximum);
    if (value == m_position) return;
    m_position = value;
    emit positionChanged(m_position);
}

void UpDownSpinner::stepBy(int steps)
{
    // Widened so a step at the edge of int's range cannot overflow.
    const long long target = static_cast<long long>(m_position) + steps;
    setPosition(static_cast<int>(std::clamp<long long>(target, m_minimum, m_maximum)));
}

QSize UpDownSpinner::sizeHint() const { return QSize(16, 20); }

void UpDownSpinner::wheelEvent(QWheelEvent* event)
{
    if (!isEnabled()) return;
    const int delta = event->angleDelta().y();
    if (delta != 0) stepBy(delta > 0 ? 1 : -1);
    event->accept();
}
