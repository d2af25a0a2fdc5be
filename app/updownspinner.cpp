#include "app/updownspinner.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>

namespace {

// What assistive tools see of the spinner: a spin box with a value and the
// actions to step it.
class UpDownSpinnerAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit UpDownSpinnerAccessible(UpDownSpinner* spinner)
        : QAccessibleWidget(spinner, QAccessible::SpinBox)
    {
    }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Value) return QString::number(spinner()->position());
        return QAccessibleWidget::text(kind);
    }

    QVariant currentValue() const override { return spinner()->position(); }
    QVariant minimumValue() const override { return spinner()->minimum(); }
    QVariant maximumValue() const override { return spinner()->maximum(); }
    QVariant minimumStepSize() const override { return 1; }

    // A disabled spinner keeps its number, whoever asks: on RS-232 the clock
    // number must not change behind the operator's back.
    void setCurrentValue(const QVariant& value) override
    {
        bool isNumber = false;
        const int position = value.toInt(&isNumber);
        if (isNumber && spinner()->isEnabled()) spinner()->setPosition(position);
    }

    QStringList actionNames() const override
    {
        return QStringList{increaseAction(), decreaseAction()} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString& name) override
    {
        if (!spinner()->isEnabled()) return;
        if (name == increaseAction())
            spinner()->stepBy(1);
        else if (name == decreaseAction())
            spinner()->stepBy(-1);
        else
            QAccessibleWidget::doAction(name);
    }

private:
    UpDownSpinner* spinner() const { return static_cast<UpDownSpinner*>(widget()); }
};

QAccessibleInterface* accessibleSpinner(const QString& className, QObject* object)
{
    if (className == QLatin1String("UpDownSpinner") && object != nullptr && object->isWidgetType())
        return new UpDownSpinnerAccessible(static_cast<UpDownSpinner*>(object));
    return nullptr;
}

}  // namespace

UpDownSpinner::UpDownSpinner(QWidget* parent)
    : QWidget(parent), m_up(new QToolButton(this)), m_down(new QToolButton(this))
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(accessibleSpinner);
        return true;
    }();
    Q_UNUSED(factoryInstalled);

    m_up->setArrowType(Qt::UpArrow);
    m_down->setArrowType(Qt::DownArrow);
    // Names for screen readers: "increase" and "decrease".
    m_up->setAccessibleName(QStringLiteral("افزايش"));
    m_up->setAccessibleDescription(QStringLiteral("Increase"));
    m_down->setAccessibleName(QStringLiteral("کاهش"));
    m_down->setAccessibleDescription(QStringLiteral("Decrease"));
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
    // Screen readers announce the new number.
    QAccessibleValueChangeEvent changed(this, m_position);
    QAccessible::updateAccessibility(&changed);
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
