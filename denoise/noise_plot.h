// NoisePlot: the small plot of an image's noise curve that the Denoise dialog shows.
#pragma once

#include "core/noise_curve.h"

#include <QWidget>

// The noise's deviation (up) against the brightness 0..255 (across), one line per channel in
// its colour (gray for a gray image); dashed where the curve holds its end value beyond the
// levels it was measured at. The scale's top value is written in the top-left corner. Drawn
// paler while disabled (the dialog's model turned off).
class NoisePlot : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kWidth = 120;
    static constexpr int kHeight = 60;

    explicit NoisePlot(const NoiseCurve &curve, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    NoiseCurve curve;
    float top; // the deviation at the plot's top edge
};
