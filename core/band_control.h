// BandControl: what a row worker reports and checks while it computes one band of rows.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>

class RunObserver;

// Called at the start of every row, on the thread computing the band, with the band's index
// and the row. Tests use it to count rows and to inject failures; it may throw.
using RowHook = std::function<void(int band, int row)>;

// One control per band, used only by the thread that computes that band.
//
// All bands of a run share one stop flag. Any band reads it at the start of every row and
// between pixels; it is set by the calling thread when its observer asks to cancel, and by the
// band runner when a band fails. The observer is only ever given to controls used on the
// thread that started the run, so every observer call comes from that thread.
class BandControl
{
public:
    // The longest the calling thread computes without giving its observer a call.
    static constexpr std::chrono::milliseconds kKeepAlivePeriod {25};

    // A band that runs to its end and reports nothing.
    BandControl() = default;

    // `stop` may be null (never stops), `observer` null on worker threads; only a control with
    // `reportsProgress` set passes percentages. `hook` may be null; it must outlive the control.
    BandControl(int band, std::atomic<bool> *stop, RunObserver *observer, bool reportsProgress,
        const RowHook *hook = nullptr);

    // At the start of row y of a band ending at rowEnd, before its pixels: reports (y * 100) /
    // rowEnd when y is a multiple of rowEnd / 10 (at least 1). False when the band must stop.
    bool beginRow(int y, int rowEnd);

    // Between two pixels: keeps the observer live. False when the band must stop.
    bool betweenPixels()
    {
        if (observer_ && Clock::now() - lastContact_ >= kKeepAlivePeriod)
            keepAlive();
        return !(stop_ && stop_->load(std::memory_order_relaxed));
    }

    // The reporting interval of a band ending at rowEnd: a tenth of it, and 1 for bands of
    // fewer than 10 rows so that every row reports.
    static int progressInterval(int rowEnd) { return rowEnd / 10 > 0 ? rowEnd / 10 : 1; }

private:
    using Clock = std::chrono::steady_clock;

    void keepAlive();
    void pollCancel();

    int band_ = 0;
    std::atomic<bool> *stop_ = nullptr;
    RunObserver *observer_ = nullptr;
    bool reportsProgress_ = false;
    const RowHook *hook_ = nullptr;
    Clock::time_point lastContact_ = Clock::now();
};
