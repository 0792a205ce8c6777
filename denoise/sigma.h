// Sigma: the modal Denoise dialog with its noise-level slider, centre preview and progress bar.
#pragma once

#include "core/plane_run.h"
#include "core/sample_tables.h"
#include "image/noise_model.h"

#include <QDialog>
#include <QImage>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QTimer>

#include <memory>
#include <optional>

class NoisePlot;
class QCheckBox;
class QDialogButtonBox;
class QKeyEvent;
class QPushButton;
class QLabel;
class QProgressBar;
class QScrollArea;
class QSlider;

// The preview crop of an image of this size: a side of 256 pixels or less whole, a longer one
// the 256 pixels around its centre (w / 2 - 128 to w / 2 + 127, and so for the height).
QRect previewCrop(const QSize &imageSize);

// The part of the image a preview of `crop` denoises at `level`: the crop and a border around it
// (within the image) that the walks of the crop's pixels rarely cross, so that the preview's
// pixels are those that OK produces. See previewBorder.
QRect previewRegion(const QRect &crop, const QSize &imageSize, int level);

// The border's width in pixels at `level`: three standard deviations of a path's seven moves
// (each sqrt(level) pixels per axis), plus the widest patch radius twice (the patch compared at
// the far point and the estimate spread around the pixel) and two pixels of pre-smoothing and
// local structure, whose values differ at the region's own edge.
int previewBorder(int level);

// The dialog through which the user denoises the window's image. It reaches its caller only
// through the two pointers it is given, which it does not own and which must outlive it: the
// image, denoised in place by OK, and the noise level, which every change of the slider's value
// sets (by mouse, keys or wheel) and Cancel resets to 0: the level shown is the level OK
// applies. A release of the slider, or a value that has rested for kPreviewRest, denoises a
// copy of the centre crop (the whole image when it is 256 pixels or less a side) as a preview.
// One sample table, built when the dialog opens, serves every preview and OK, and a preview
// denoises its crop with a border of the image around it at the crop's place: its pixels are
// OK's. Under the preview the dialog shows the noise it measured in the image, the plot of its
// noise curve (NoisePlot), a button that previews at the level for it, and a Compare button;
// dragging in the preview moves the crop. When the curve is not flat (a camera's noise, stronger
// in the shadows), a checked box keeps its model on: every run evens the noise out by the curve's
// transform, measured once on the whole image, and the slider sets the level of the evened
// noise; unchecked, the runs take the noise as the same everywhere, as on a flat curve.
//
// A run (preview or OK) happens inside the slot that starts it, on the GUI thread, and serves
// pending events while it computes. Meanwhile the slider and OK are disabled, so no second run
// can start; Cancel, Escape and the close button stop the run, leave the image as it was, set
// the level to 0 and reject the dialog. The dialog owns its widgets through its layouts.
class Sigma : public QDialog
{
    Q_OBJECT

public:
    // How long a value set by keys, wheel or a click on the groove rests before it is previewed.
    static constexpr int kPreviewRest = 300; // ms

    // `baseOptions` are the threads, sample table and memory limit of the runs this dialog
    // starts (the observer is always the dialog's own): the window passes the defaults (every
    // hardware thread, the memory available) and no table, so that the dialog builds its own,
    // seeded from the clock when it opens; a table given here serves every run instead.
    Sigma(QImage *image, int *sigma, const RunOptions &baseOptions);

    // Denoises *image at noise level `sigma` (1 or more; of the evened noise with the model on),
    // moving progressBar and keeping the dialog live, and returns how the run ended. Images of
    // other colour models than RGB and Grayscale, images whose denoising would not fit in
    // memory and levels below 1 are left unchanged with a message box. The bar stands at 0 when the
    // call returns.
    RunStatus denoiseImage(QImage *image, int sigma);

    // True once OK's run has replaced the image; false after OK at level 0, a run that failed
    // or a cancel.
    bool denoised() const { return replaced; }

    // Shows the percentage on progressBar and lets pending events run.
    void reportProgress(int percent);

    // During a run, stops it first and sets the level to 0; then rejects as QDialog does.
    // Escape and the close button come here without passing through stopAlg.
    void reject() override;

protected:
    // Dragging in the preview moves the crop over the image; a release previews it there.
    bool eventFilter(QObject *watched, QEvent *event) override;
    // The C key held shows the undenoised crop, as the Compare button does.
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;

private slots:
    void changeLabel();
    void viewSubImage();
    void runAlg();
    void stopAlg();

private:
    class Observer;

    // The constructor's parts: the noise in the whole image, the widgets in their layouts (the
    // row under the preview from buildTools), the signals and the sample table.
    void measureNoise();
    void buildLayout();
    QWidget *buildTools();
    // The curve's model is used: the curve is not flat and the box is checked.
    bool modelOn() const;
    // The box turned the model on or off: previews again at the same level.
    void modelToggled(bool on);
    void connectSignals();
    void useOwnTable();
    void setRunning(bool running);
    // denoiseImage for a part of the window's image whose top-left pixel is `origin`.
    RunStatus denoisePart(QImage *part, int sigma, QPoint origin);
    // The message box for a run that ended in `status`; none for Done and Cancelled.
    void report(RunStatus status);
    // Previews the crop at `level` (0: the crop as it is), as a release of the slider does.
    void preview(int level);
    // Puts the picture in the preview area (a new label, as the preview always did).
    void display(const QImage &picture);
    // Shows the undenoised crop while `on`, the preview again after.
    void compare(bool on);
    bool compareKey(QKeyEvent *event, bool pressed);
    // Moves the crop so that its top-left corner is at `topLeft`, kept within the image.
    void moveCrop(QPoint topLeft);
    // Sets the slider to the estimated level and previews, as a release of the slider does: with
    // the model on, the model's level of the evened noise, else the level for the uniform
    // estimate.
    void useEstimate();

    QImage subImage;
    QImage *image;
    int *sigma;
    QDialogButtonBox *buttonBox;
    QSlider *slider;
    QScrollArea *scrollArea;
    QProgressBar *progressBar;
    QLabel *label;
    QPushButton *compareButton;
    QPushButton *useEstimateButton;
    NoisePlot *plot = nullptr; // none when no curve was measured
    QCheckBox *evenOut;

    // Single shot: previews a value that has rested (see kPreviewRest). Never armed while the
    // handle is held, whose release previews; stopped by every preview, OK and "Use estimate".
    QTimer restTimer;
    // A rested value arrived during a run: previewed once the run is over.
    bool previewPending = false;
    std::unique_ptr<NormalTable> ownTable;
    RunOptions runOptions;
    bool running = false;
    bool cancelRequested = false;
    bool replaced = false; // see denoised()
    QPointer<QWidget> focusBeforeRun;
    std::optional<float> estimate; // the noise in the image, measured when the dialog opened
    // The image's noise curve and its transform, measured once on the whole image when the
    // dialog opened: every preview and OK use the same transform.
    std::optional<ImageNoiseModel> model;
    QRect crop; // where subImage lies in the image
    QImage shown; // the last preview: subImage, or subImage denoised
    bool comparing = false;
    bool dragging = false;
    bool dragged = false;
    QPoint dragStart; // in the preview area's coordinates
    QPoint cropAtDragStart;
};
