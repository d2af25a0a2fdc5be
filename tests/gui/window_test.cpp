// The window as it opens: every control with its name, kind, place, caption
// and state, the frame and the look the operator relies on.
#include <QAccessible>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>

#include "guitesting.h"

namespace {

struct ControlDefault {
    const char* name;
    const char* kind;    // class the control inherits
    const char* parent;  // objectName of the widget it sits in
    const char* text;    // caption, title or initial text
    bool enabled;
};

// Captions are as stored in the form, Persian included.
const ControlDefault kDefaults[] = {
    {"GroupBox1", "QGroupBox", "Form1", "ارتباط با ساعت", true},
    {"RadioGroup2", "QGroupBox", "GroupBox1", "", true},
    {"RadioButton1", "QRadioButton", "GroupBox1", "RS-232", true},
    {"RadioButton2", "QRadioButton", "GroupBox1", "RS-485", true},
    {"Label9", "QLabel", "GroupBox1", "BuadRate", true},
    {"cbBuadRate", "QComboBox", "GroupBox1", "9600", true},
    {"Label12", "QLabel", "GroupBox1", "Com", true},
    {"eCom", "QLineEdit", "GroupBox1", "1", true},
    {"Label13", "QLabel", "GroupBox1", "Selected Machine", true},
    {"SelectedClock", "QLineEdit", "GroupBox1", "1", false},
    {"UpDown", "UpDownSpinner", "GroupBox1", nullptr, false},
    {"DatePanel", "QFrame", "Form1", nullptr, true},
    {"ChboxIsVireo", "QCheckBox", "DatePanel", "Vireo", true},
    {"chboxVireoFromToDate", "QCheckBox", "DatePanel", "خواندن از تاريخ تا تاريخ", false},
    {"Label1", "QLabel", "DatePanel", "از تاريخ : ", false},
    {"edFromDate", "QLineEdit", "DatePanel", "880101", false},
    {"Label3", "QLabel", "DatePanel", "تا تاريخ :", false},
    {"edToDate", "QLineEdit", "DatePanel", "880501", false},
    {"btnSearchPointers", "QPushButton", "DatePanel", "پيدا کردن اشاره گرها", false},
    {"pnlWait", "QLabel", "DatePanel", "عمليات فوق ممکن است به مدت چند ثانيه تا چند دقيقه طولاني باشد", true},
    {"Label5", "QLabel", "pnlWait", "لطفا منتظر باشيد", true},
    {"GroupBox3", "QGroupBox", "Form1", "مشخصات اطلاعات درخواستي", true},
    {"Label7", "QLabel", "GroupBox3", "شروع: ", true},
    {"eStart", "QLineEdit", "GroupBox3", "0", true},
    {"Label8", "QLabel", "GroupBox3", "تعداد:", true},
    {"eCount", "QLineEdit", "GroupBox3", "19500", true},
    {"Button1", "QPushButton", "GroupBox3", "خواندن اطلاعات از ساعت", true},
    {"GroupBox2", "QGroupBox", "Form1", "اشاره گر", true},
    {"Label10", "QLabel", "GroupBox2", "ARI", true},
    {"lARI", "QLabel", "GroupBox2", "", true},
    {"Label11", "QLabel", "GroupBox2", "AWI", true},
    {"lAWI", "QLabel", "GroupBox2", "", true},
    {"Button2", "QPushButton", "GroupBox2", "اشاره گرها", true},
    {"Panel1", "QFrame", "Form1", nullptr, true},
    {"Label2", "LeftToRightLabel", "Panel1", ": تعداد كل ركورد", true},
    {"LMax", "QLabel", "Panel1", "", true},
    {"Label4", "LeftToRightLabel", "Panel1", ": تعداد خوانده شده", true},
    {"LCount", "QLabel", "Panel1", "", true},
    {"ProgressBar", "QProgressBar", "Form1", nullptr, true},
    {"StatusBar1", "QStatusBar", "Form1", nullptr, true},
};

QString CaptionOf(QWidget* w)
{
    if (auto* x = qobject_cast<QGroupBox*>(w)) return x->title();
    if (auto* x = qobject_cast<QAbstractButton*>(w)) return x->text();
    if (auto* x = qobject_cast<QLabel*>(w)) return x->text();
    if (auto* x = qobject_cast<QLineEdit*>(w)) return x->text();
    if (auto* x = qobject_cast<QComboBox*>(w)) return x->currentText();
    return {};
}

QColor TextColour(QWidget* w) { return w->palette().color(QPalette::Active, QPalette::WindowText); }

}  // namespace

TEST(WindowDefaults, EveryControlHasItsNameKindPlaceCaptionAndState)
{
    RecordedWindow w;
    for (const ControlDefault& d : kDefaults) {
        SCOPED_TRACE(d.name);
        auto* control = w.form.findChild<QWidget*>(QString::fromLatin1(d.name));
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(control->inherits(d.kind));
        EXPECT_EQ(control->accessibleDescription(), QString::fromLatin1(d.name));
        QWidget* parent = control->parentWidget();
        ASSERT_NE(parent, nullptr);
        EXPECT_EQ(parent->objectName(), QString::fromLatin1(d.parent));
        if (d.text) {
            EXPECT_EQ(CaptionOf(control), QString::fromUtf8(d.text));
        }
        EXPECT_EQ(control->isEnabled(), d.enabled);
    }
    EXPECT_TRUE(w.dialogs.empty());
}

TEST(WindowDefaults, ChoicesRangesAndHiddenParts)
{
    RecordedWindow w;
    EXPECT_TRUE(w.ui.RadioButton1->isChecked());
    EXPECT_FALSE(w.ui.RadioButton2->isChecked());
    EXPECT_FALSE(w.ui.ChboxIsVireo->isChecked());
    EXPECT_FALSE(w.ui.chboxVireoFromToDate->isChecked());

    QStringList items;
    for (int i = 0; i < w.ui.cbBuadRate->count(); ++i) items << w.ui.cbBuadRate->itemText(i);
    EXPECT_EQ(items, (QStringList{"2400", "4800", "9600", "19200", "57600"}));
    EXPECT_TRUE(w.ui.cbBuadRate->isEditable());
    EXPECT_TRUE(w.ui.SelectedClock->isReadOnly());
    EXPECT_EQ(w.ui.UpDown->minimum(), 1);
    EXPECT_EQ(w.ui.UpDown->maximum(), 32);
    EXPECT_EQ(w.ui.UpDown->position(), 1);

    EXPECT_EQ(w.ui.ProgressBar->value(), 0);
    EXPECT_EQ(w.form.ProgressPosition(), 0);
    EXPECT_FALSE(w.ui.ProgressBar->isTextVisible());
    EXPECT_EQ(w.ui.StatusPanel->text(), QStringLiteral("Ver : 88/03"));
    EXPECT_GE(w.ui.StatusPanel->width(), 50);
    EXPECT_EQ(w.ui.StatusPanel->parentWidget(), w.ui.StatusBar1);

    w.form.show();
    EXPECT_FALSE(w.ui.pnlWait->isVisible());
    EXPECT_EQ(w.ui.pnlWait->frameShape(), QFrame::Panel);
    EXPECT_EQ(w.ui.pnlWait->frameShadow(), QFrame::Sunken);
    EXPECT_TRUE(w.ui.pnlWait->autoFillBackground());
}

TEST(WindowDefaults, FrameFontDirectionAndColours)
{
    RecordedWindow w;
    w.form.show();
    EXPECT_EQ(w.form.size(), QSize(382, 361));
    EXPECT_EQ(w.form.minimumSize(), w.form.maximumSize());
    EXPECT_TRUE(w.form.windowTitle().isEmpty());
    const Qt::WindowFlags flags = w.form.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_EQ(w.form.font().family(), QStringLiteral("Tahoma"));
    EXPECT_EQ(w.form.font().pointSize(), 8);

    for (QWidget* group : {static_cast<QWidget*>(w.ui.GroupBox1), static_cast<QWidget*>(w.ui.DatePanel),
                           static_cast<QWidget*>(w.ui.GroupBox3), static_cast<QWidget*>(w.ui.GroupBox2)})
        EXPECT_EQ(group->layoutDirection(), Qt::RightToLeft) << group->objectName().toStdString();
    for (QWidget* number : {static_cast<QWidget*>(w.ui.eStart), static_cast<QWidget*>(w.ui.eCount),
                            static_cast<QWidget*>(w.ui.edFromDate), static_cast<QWidget*>(w.ui.edToDate),
                            static_cast<QWidget*>(w.ui.lARI), static_cast<QWidget*>(w.ui.lAWI)})
        EXPECT_EQ(number->layoutDirection(), Qt::LeftToRight) << number->objectName().toStdString();

    for (QWidget* red : {w.ui.Label9, w.ui.Label12, w.ui.Label13, w.ui.Label7, w.ui.Label8})
        EXPECT_EQ(TextColour(red), QColor(Qt::red)) << red->objectName().toStdString();
    EXPECT_EQ(TextColour(w.ui.Label5), QColor(Qt::blue));

    // Every control lies inside the window's client area, none off its edge.
    for (const ControlDefault& d : kDefaults) {
        auto* control = w.form.findChild<QWidget*>(QString::fromLatin1(d.name));
        if (control == w.ui.pnlWait || control == w.ui.Label5) continue;
        const QRect inForm(control->mapTo(&w.form, QPoint(0, 0)), control->size());
        EXPECT_TRUE(w.form.rect().contains(inForm)) << d.name;
    }
}

TEST(WindowDefaults, EditsAreNamedByTheirLabelsForScreenReaders)
{
    RecordedWindow w;
    w.form.show();
    const std::pair<QWidget*, QLabel*> pairs[] = {{w.ui.eCom, w.ui.Label12},
                                                  {w.ui.eStart, w.ui.Label7},
                                                  {w.ui.eCount, w.ui.Label8},
                                                  {w.ui.edFromDate, w.ui.Label1},
                                                  {w.ui.edToDate, w.ui.Label3}};
    for (const auto& [edit, label] : pairs) {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(edit);
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->text(QAccessible::Name).trimmed(), label->text().trimmed())
            << edit->objectName().toStdString();
        EXPECT_EQ(accessible->text(QAccessible::Description), edit->objectName());
    }
}

TEST(WindowDefaults, TheClockNumberSpinnerOffersItsValueAndNamedArrowsToScreenReaders)
{
    RecordedWindow w;
    w.form.show();
    QAccessibleInterface* spinner = QAccessible::queryAccessibleInterface(w.ui.UpDown);
    ASSERT_NE(spinner, nullptr);
    EXPECT_EQ(spinner->role(), QAccessible::SpinBox);
    EXPECT_EQ(spinner->text(QAccessible::Name), w.ui.Label13->text());
    EXPECT_EQ(spinner->text(QAccessible::Description), QStringLiteral("UpDown"));
    QAccessibleValueInterface* value = spinner->valueInterface();
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->minimumValue().toInt(), 1);
    EXPECT_EQ(value->maximumValue().toInt(), 32);
    EXPECT_EQ(value->minimumStepSize().toInt(), 1);
    EXPECT_EQ(value->currentValue().toInt(), 1);
    EXPECT_EQ(spinner->text(QAccessible::Value), QStringLiteral("1"));

    // On RS-232 the clock number is disabled: no tool may change it.
    EXPECT_TRUE(spinner->state().disabled);
    value->setCurrentValue(5);
    spinner->actionInterface()->doAction(QAccessibleActionInterface::increaseAction());
    EXPECT_EQ(w.form.SelectedClockText(), "1");

    w.ui.RadioButton2->click();
    const std::pair<QVariant, const char*> settings[] = {
        {5, "5"}, {40, "32"}, {0, "1"}, {QStringLiteral("x"), "1"}, {QStringLiteral("12"), "12"}};
    for (const auto& [set, shown] : settings) {
        value->setCurrentValue(set);
        EXPECT_EQ(w.form.SelectedClockText(), shown) << set.toString().toStdString();
        EXPECT_EQ(value->currentValue().toString(), QString::fromLatin1(shown));
    }
    spinner->actionInterface()->doAction(QAccessibleActionInterface::decreaseAction());
    EXPECT_EQ(w.form.SelectedClockText(), "11");

    // The arrows: Persian names, English descriptions, and pressable.
    ASSERT_EQ(spinner->childCount(), 2);
    const struct {
        QString name, description, after;
    } arrows[] = {{QStringLiteral("افزايش"), QStringLiteral("Increase"), QStringLiteral("12")},
                  {QStringLiteral("کاهش"), QStringLiteral("Decrease"), QStringLiteral("11")}};
    for (int i = 0; i < 2; ++i) {
        QAccessibleInterface* arrow = spinner->child(i);
        EXPECT_EQ(arrow->role(), QAccessible::Button);
        EXPECT_EQ(arrow->text(QAccessible::Name), arrows[i].name);
        EXPECT_EQ(arrow->text(QAccessible::Description), arrows[i].description);
        arrow->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        EXPECT_EQ(w.ui.SelectedClock->text(), arrows[i].after);
    }
}
