#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QObject>
#include <QWidget>

class QSvgRenderer;

// A line drawn over a picture box, its end points in twips of the box's
// drawing area. Setting a coordinate repaints the box.
class LineControl : public QObject
{
    Q_OBJECT
    Q_PROPERTY(double X1 READ X1 WRITE SetX1)
    Q_PROPERTY(double Y1 READ Y1 WRITE SetY1)
    Q_PROPERTY(double X2 READ X2 WRITE SetX2)
    Q_PROPERTY(double Y2 READ Y2 WRITE SetY2)
    Q_PROPERTY(bool Visible READ Visible WRITE SetVisible)

public:
    LineControl(const QString& name, double x1, double y1, double x2, double y2, QWidget* box);

    double X1() const { return x1_; }
    double Y1() const { return y1_; }
    double X2() const { return x2_; }
    double Y2() const { return y2_; }
    void SetX1(double twips) { Set(x1_, twips); }
    void SetY1(double twips) { Set(y1_, twips); }
    void SetX2(double twips) { Set(x2_, twips); }
    void SetY2(double twips) { Set(y2_, twips); }
    bool Visible() const { return visible_; }
    void SetVisible(bool visible);

    QColor BorderColor{0, 0, 255};
    int BorderWidth = 2; // pixels

private:
    void Set(double& coordinate, double twips);

    double x1_, y1_, x2_, y2_;
    bool visible_ = true;
};

// A picture shown at its natural size from the top-left corner, with the
// box's LineControl children drawn over it. Where the build drew the SVG
// beforehand for the screen's scale (NAME.pixels, NAME@2x.pixels beside NAME.svg
// in the resources), that drawing is used.
class PictureBox : public QWidget
{
    Q_OBJECT

public:
    PictureBox(const QString& name, const QString& svgResource, QWidget* parent);

    // Words drawn over the picture within `area` (pixels of the picture),
    // bold and wrapped to fit; an empty text draws none.
    void SetMark(const QString& text, const QColor& colour, const QRect& area);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const QImage& Picture();

    QString resource_;
    QString mark_;
    QColor markColour_;
    QFont markFont_;
    QRect markArea_;
    // Per device pixel ratio: the build's drawing as it lies in the program,
    // else the SVG drawn once. An image rather than a pixmap, so that the
    // drawing is neither copied nor scanned for transparency.
    QImage cache_;
};
