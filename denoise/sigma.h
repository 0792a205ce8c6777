// Sigma: the modal Denoise dialog with its noise-level slider, centre preview and progress bar.
#pragma once

#include "core/denoise_run.h"

#include <QDialog>
#include <QImage>
#include <QRect>
#include <QSize>

class QDialogButtonBox;
class QLabel;
class QProgressBar;
class QScrollArea;
class QSlider;

// The preview crop of an image of this size: at most 256 x 256 pixels around the centre
// (cx, cy) = (w / 2, h / 2), with the inclusive corners (max(cx - 128, 0), max(cy - 128, 0)) and
// (min(cx + 128, w - 1) - 1, min(cy + 128, h - 1) - 1).
QRect previewCrop(const QSize &imageSize);

// The dialog through which the user denoises the window's image. It reaches its caller only
// through the two pointers it is given, which it does not own and which must outlive it: the
// image, denoised in place by OK, and the noise level, which a release of the slider sets and
// Cancel resets to 0. A release also denoises a copy of the centre crop as a preview.
//
// A run (preview or OK) happens inside the slot that starts it, on the GUI thread, and serves
// pending events while it computes. Meanwhile the slider and OK are disabled, so no second run
// can start; Cancel, Escape and the close button stop the run, leave the image as it was, set
// the level to 0 and reject the dialog. The dialog owns its widgets through its layouts.
class Sigma : public QDialog
{
    Q_OBJECT

public:
    Sigma(QImage *image, int *sigma);

    // Denoises *image at noise level `sigma` (1 or more), moving progressBar and keeping the
    // dialog live. Images of other colour models than RGB and Grayscale, and images whose
    // denoising would not fit in memory, are left unchanged with a message box. The bar
    // stands at 0 when the call returns.
    void denoiseImage(QImage *image, int sigma);

    // Shows the percentage on progressBar and lets pending events run.
    void reportProgress(int percent);

    // The threads, sample table and memory limit of the runs this dialog starts (the observer
    // is always the dialog's own). By default runs use every hardware thread, a table seeded
    // from the clock and the memory available. Tests pass a seeded table here.
    void setRunOptions(const RunOptions &options);

    // During a run, stops it first and sets the level to 0; then rejects as QDialog does.
    // Escape and the close button come here without passing through stopAlg.
    void reject() override;

private slots:
    void changeLabel();
    void viewSubImage();
    void runAlg();
    void stopAlg();

private:
    class Observer;

    void setRunning(bool running);

    QImage subImage;
    QImage *image;
    int *sigma;
    QDialogButtonBox *buttonBox;
    QSlider *slider;
    QScrollArea *scrollArea;
    QProgressBar *progressBar;
    QLabel *label;

    RunOptions runOptions;
    bool running = false;
    bool cancelRequested = false;
};
