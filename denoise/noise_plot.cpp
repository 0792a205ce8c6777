// The noise curve plot: axes, one line per channel, the scale's top value.
#include "noise_plot.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

NoisePlot::NoisePlot(const NoiseCurve &curve, QWidget *parent)
    : QWidget(parent)
    , curve(curve)
{
    setFixedSize(kWidth, kHeight);
    float highest = 1.0f;
    for (int c = 0; c < curve.channels; ++c)
        for (const float s : curve.sigma[std::size_t(c)])
            highest = std::max(highest, s);
    // A round top a little above the highest value, so that no line runs along the edge.
    const float step = highest > 10.0f ? 5.0f : 1.0f;
    top = step * std::ceil(highest * 1.15f / step);
}

void NoisePlot::paintEvent(QPaintEvent * /*event*/)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.fillRect(rect(), palette().color(group, QPalette::Base));
    painter.setPen(palette().color(group, QPalette::Mid));
    painter.drawRect(area);
    QFont font = painter.font();
    font.setPixelSize(9);
    painter.setFont(font);
    painter.setPen(palette().color(group, QPalette::Text));
    painter.drawText(area.adjusted(3, 1, 0, 0), Qt::AlignLeft | Qt::AlignTop, QString::number(top));

    const auto at = [&](int channel, int v) {
        return QPointF(area.left() + area.width() * v / 255.0,
            area.bottom()
                - area.height() * double(curve.sigma[std::size_t(channel)][std::size_t(v)]) / top);
    };
    const QColor colours[] = {QColor(210, 40, 40), QColor(30, 150, 30), QColor(40, 80, 220)};
    for (int c = 0; c < curve.channels; ++c) {
        QColor colour = curve.channels == 1 ? QColor(Qt::darkGray) : colours[c];
        if (!isEnabled())
            colour.setAlpha(90);
        const int low = std::clamp(int(std::lround(curve.measuredLow[std::size_t(c)])), 0, 255);
        const int high = std::clamp(int(std::lround(curve.measuredHigh[std::size_t(c)])), low, 255);
        // Measured levels solid, the held end values dashed.
        const auto line = [&](int from, int to, Qt::PenStyle style) {
            if (from >= to)
                return;
            QPainterPath path(at(c, from));
            for (int v = from + 1; v <= to; ++v)
                path.lineTo(at(c, v));
            painter.setPen(QPen(colour, 1.5, style));
            painter.drawPath(path);
        };
        line(0, low, Qt::DashLine);
        line(low, high, Qt::SolidLine);
        line(high, 255, Qt::DashLine);
    }
}
