#include "PictureBox.h"
#include "Fonts.h"
#include "RawImage.h"
#include "Twips.h"

#include <QPainter>
#include <QSvgRenderer>

LineControl::LineControl(const QString& name, double x1, double y1, double x2, double y2, QWidget* box)
    : QObject(box), x1_(x1), y1_(y1), x2_(x2), y2_(y2)
{
    setObjectName(name);
}

void LineControl::Set(double& coordinate, double twips)
{
    if (coordinate == twips)
        return;
    coordinate = twips;
    static_cast<QWidget*>(parent())->update();
}

void LineControl::SetVisible(bool visible)
{
    if (visible_ == visible)
        return;
    visible_ = visible;
    static_cast<QWidget*>(parent())->update();
}

PictureBox::PictureBox(const QString& name, const QString& svgResource, QWidget* parent)
    : QWidget(parent), resource_(svgResource)
{
    setObjectName(name);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

const QImage& PictureBox::Picture()
{
    const qreal ratio = devicePixelRatioF();
    if (cache_.isNull() || cache_.devicePixelRatio() != ratio) {
        // Drawn at build time for the usual scales (NAME.pixels, NAME@2x.pixels).
        if (ratio == 1 || ratio == 2) {
            QString drawn = resource_;
            drawn.replace(QLatin1String(".svg"), ratio == 2 ? QLatin1String("@2x.pixels") : QLatin1String(".pixels"));
            cache_ = RawImage(drawn);
            if (!cache_.isNull()) {
                cache_.setDevicePixelRatio(ratio);
                return cache_;
            }
        }
        QSvgRenderer renderer(resource_);
        const QSize natural = renderer.defaultSize();
        // Opaque, as the window colour lies beneath it.
        cache_ = QImage(natural * ratio, QImage::Format_RGB32);
        cache_.setDevicePixelRatio(ratio);
        cache_.fill(palette().color(QPalette::Window));
        QPainter painter(&cache_);
        renderer.render(&painter, QRectF(QPointF(0, 0), natural));
    }
    return cache_;
}

void PictureBox::SetMark(const QString& text, const QColor& colour, const QRect& area)
{
    if (text == mark_ && colour == markColour_ && area == markArea_)
        return;
    mark_ = text;
    markColour_ = colour;
    markArea_ = area;
    if (!text.isEmpty())
        markFont_ = FittedFont(PanelFont(8.25, QFont::Bold), {text}, area.size(), true);
    update();
}

void PictureBox::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    painter.drawImage(0, 0, Picture());
    if (!mark_.isEmpty()) {
        painter.setFont(markFont_);
        painter.setPen(markColour_);
        painter.drawText(markArea_, Qt::AlignCenter | Qt::TextWordWrap, mark_);
    }
    painter.setRenderHint(QPainter::Antialiasing);
    for (const LineControl* line : findChildren<LineControl*>(Qt::FindDirectChildrenOnly)) {
        if (!line->Visible())
            continue;
        painter.setPen(QPen(line->BorderColor, line->BorderWidth, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(LineFromTwips(line->X1(), line->Y1(), line->X2(), line->Y2()));
    }
}
