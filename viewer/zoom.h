// Zoom arithmetic of the window: step factors, limits, label sizes and scroll-bar values.
#pragma once

#include <QSize>

#include <climits>
#include <cmath>

// One Zoom In multiplies the zoom factor by this, one Zoom Out by kZoomOutStep.
constexpr double kZoomInStep = 1.25;
constexpr double kZoomOutStep = 0.8;

// Zoom In is offered only below kZoomInLimit and Zoom Out only above kZoomOutLimit; the
// decimal 0.333 and not one third, so that five Zoom Out steps (0.32768) are the last.
constexpr double kZoomInLimit = 3.0;
constexpr double kZoomOutLimit = 0.333;

inline bool canZoomIn(double zoomFactor)
{
    return zoomFactor < kZoomInLimit;
}

inline bool canZoomOut(double zoomFactor)
{
    return zoomFactor > kZoomOutLimit;
}

// The label size that shows a pixmap of `natural` size at `zoomFactor`: each side rounded to
// the nearest integer, halves away from zero, as QSize's own scaling does.
inline QSize zoomedSize(const QSize &natural, double zoomFactor)
{
    return natural * zoomFactor;
}

// The scroll-bar value that keeps the point at the centre of the visible page at the centre
// after the content has been scaled by `factor`. Truncated toward zero, not rounded; the bar
// clamps it into its range. Values beyond int are held at its ends.
inline int rescaledScrollValue(int value, int pageStep, double factor)
{
    const double scaled = factor * value + pageStep * (factor - 1) * 0.5;
    if (scaled >= double(INT_MAX))
        return INT_MAX;
    if (scaled <= double(INT_MIN))
        return INT_MIN;
    return int(scaled);
}

// The scroll-bar value that keeps the content point at `anchor` (a position in the viewport, the
// mouse for a Ctrl + wheel zoom) at that position after the content has been scaled by `factor`:
// that point lies at value + anchor before and at factor x (value + anchor) after. Rounded to the
// nearest integer; the bar clamps it into its range. Values beyond int are held at its ends.
inline int anchoredScrollValue(int value, int anchor, double factor)
{
    const double scaled = factor * (double(value) + anchor) - anchor;
    if (scaled >= double(INT_MAX))
        return INT_MAX;
    if (scaled <= double(INT_MIN))
        return INT_MIN;
    return int(std::lround(scaled));
}
