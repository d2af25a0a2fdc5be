#include "app/lefttorightlabel.h"

#include <QPainter>
#include <QStyle>

LeftToRightLabel::LeftToRightLabel(QWidget* parent) : QLabel(parent) { setLayoutDirection(Qt::LeftToRight); }

void LeftToRightLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    drawFrame(&painter);
    QRect area = contentsRect();
    area.adjust(margin(), margin(), -margin(), -margin());
    const int flags = QStyle::visualAlignment(Qt::LeftToRight, alignment()) | Qt::TextForceLeftToRight;
    style()->drawItemText(&painter, area, flags, palette(), isEnabled(), text(), foregroundRole());
}
