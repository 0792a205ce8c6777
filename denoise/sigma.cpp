// The Denoise dialog: layout, preview, OK and Cancel, and the runs with their progress.
#include "sigma.h"

#include "core/noise_estimate.h"
#include "core/run_observer.h"
#include "denoise/noise_plot.h"
#include "image/image_denoise.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

// The longest side of the preview.
constexpr int kPreviewSide = 256;

static int cropStart(int side)
{
    return side <= kPreviewSide ? 0 : side / 2 - kPreviewSide / 2;
}

QRect previewCrop(const QSize &imageSize)
{
    const int w = imageSize.width();
    const int h = imageSize.height();
    return {cropStart(w), cropStart(h), std::min(w, kPreviewSide), std::min(h, kPreviewSide)};
}

int previewBorder(int level)
{
    const double walk = 3.0 * std::sqrt(7.0 * std::max(level, 1));
    return int(std::ceil(walk)) + 2 * 5 + 2;
}

QRect previewRegion(const QRect &crop, const QSize &imageSize, int level)
{
    const int border = previewBorder(level);
    return crop.adjusted(-border, -border, border, border) & QRect(QPoint(0, 0), imageSize);
}

// Connects a run to the dialog: progress moves the bar, both kinds of call serve pending events
// (where Cancel, Escape and the close button are handled), and the run stops once one of them
// has asked it to.
class Sigma::Observer : public RunObserver
{
public:
    explicit Observer(Sigma *dialog)
        : dialog(dialog)
    { }

    void progress(int percent) override { dialog->reportProgress(percent); }
    void keepAlive() override { QCoreApplication::processEvents(); }
    bool cancelRequested() override { return dialog->cancelRequested; }

private:
    Sigma *dialog;
};

Sigma::Sigma(QImage *image, int *sigma, const RunOptions &baseOptions)
    : QDialog()
    , image(image)
    , sigma(sigma)
    , runOptions(baseOptions)
{
    runOptions.observer = nullptr; // each run has the dialog's own
    crop = previewCrop(image->size());
    subImage = image->copy(crop);
    measureNoise();
    buildLayout();
    connectSignals();
    display(subImage);
    useOwnTable();
}

void Sigma::measureNoise()
{
    estimate = estimateImageNoise(*image);
    model = measureImageNoiseModel(*image);
}

bool Sigma::modelOn() const
{
    return model && model->transform && evenOut->isChecked();
}

void Sigma::buildLayout()
{
    buttonBox = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    slider = new QSlider(Qt::Horizontal);
    progressBar = new QProgressBar;
    label = new QLabel(QString::number(*sigma, 10));
    auto *frame = new QFrame;
    auto *frameLayout = new QGridLayout(frame);
    frameLayout->addWidget(slider, 1, 1);
    frameLayout->addWidget(label, 1, 2);
    frameLayout->setContentsMargins(0, 0, 0, 0);

    scrollArea = new QScrollArea;
    scrollArea->viewport()->setCursor(Qt::OpenHandCursor);
    scrollArea->setToolTip(tr("Drag to preview another part of the image"));

    auto *layout = new QGridLayout(this);
    layout->addWidget(scrollArea, 1, 1);
    layout->addWidget(buildTools(), 2, 1);
    layout->addWidget(progressBar, 3, 1);
    layout->addWidget(frame, 4, 1);
    layout->addWidget(buttonBox, 5, 1);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setModal(true);
}

// Under the preview: the noise measured in the whole image, under it the box that turns the
// curve's model off (shown only when the curve is not flat), the plot of the curve beside both;
// then a button that previews at the level for the noise, and the comparison with the
// undenoised crop.
QWidget *Sigma::buildTools()
{
    auto *tools = new QFrame;
    auto *toolsLayout = new QGridLayout(tools);
    toolsLayout->setContentsMargins(0, 0, 0, 0);
    toolsLayout->addWidget(
        new QLabel(estimate ? tr("Estimated noise: %1").arg(double(*estimate), 0, 'f', 1)
                            : tr("Estimated noise: none found")),
        0, 0);
    if (model) {
        plot = new NoisePlot(model->curve);
        plot->setToolTip(tr("Noise by brightness: %1 in the shadows, %2 in the highlights")
                             .arg(double(model->shadows), 0, 'f', 0)
                             .arg(double(model->highlights), 0, 'f', 0));
        toolsLayout->addWidget(plot, 0, 1, 2, 1, Qt::AlignRight);
    }
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    toolsLayout->addLayout(buttons, 2, 0, 1, 2);
    useEstimateButton = new QPushButton(tr("Use estimate"));
    useEstimateButton->setAutoDefault(false);
    buttons->addWidget(useEstimateButton);
    compareButton = new QPushButton(tr("Compare"));
    compareButton->setAutoDefault(false);
    compareButton->setFocusPolicy(Qt::NoFocus);
    compareButton->setToolTip(tr("Hold to see the crop before denoising (or hold C)"));
    buttons->addWidget(compareButton);
    evenOut = new QCheckBox(tr("Even out camera noise"));
    evenOut->setToolTip(tr("The noise grows with the brightness: even it out before denoising, "
                           "so that the slider sets the level of the evened noise"));
    toolsLayout->addWidget(evenOut, 1, 0);
    evenOut->setChecked(model && model->transform);
    evenOut->setVisible(model && model->transform);
    useEstimateButton->setEnabled(estimate.has_value() || modelOn());
    return tools;
}

void Sigma::connectSignals()
{
    connect(buttonBox, &QDialogButtonBox::accepted, this, &Sigma::runAlg);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &Sigma::stopAlg);
    connect(slider, &QSlider::valueChanged, this, &Sigma::changeLabel);
    connect(slider, &QSlider::sliderReleased, this, &Sigma::viewSubImage);
    restTimer.setSingleShot(true);
    restTimer.setInterval(kPreviewRest);
    connect(&restTimer, &QTimer::timeout, this, &Sigma::viewSubImage);
    connect(useEstimateButton, &QPushButton::clicked, this, [this] { useEstimate(); });
    connect(compareButton, &QPushButton::pressed, this, [this] { compare(true); });
    connect(compareButton, &QPushButton::released, this, [this] { compare(false); });
    connect(evenOut, &QCheckBox::toggled, this, &Sigma::modelToggled);
    scrollArea->viewport()->installEventFilter(this);
}

// The table every run of this dialog draws from, unless the base options bring one: a preview
// then shows OK's pixels, and no preview pays for building it.
void Sigma::useOwnTable()
{
    if (runOptions.table)
        return;
    try {
        ownTable = std::make_unique<NormalTable>();
        runOptions.table = ownTable.get();
    } catch (const std::bad_alloc &) {
        // Each run builds its own then, and reports if even that does not fit.
    }
}

RunStatus Sigma::denoiseImage(QImage *image, int sigma)
{
    return denoisePart(image, sigma, QPoint(0, 0));
}

RunStatus Sigma::denoisePart(QImage *image, int sigma, QPoint origin)
{
    if (running)
        return RunStatus::Cancelled;
    Observer observer(this);
    RunOptions options = runOptions;
    options.observer = &observer;
    options.originX = origin.x();
    options.originY = origin.y();
    cancelRequested = false;
    setRunning(true);
    const RunStatus status
        = denoiseQImage(*image, {sigma, options, modelOn() ? model->transform : std::nullopt});
    setRunning(false);
    report(status);
    progressBar->setValue(0);
    return status;
}

void Sigma::report(RunStatus status)
{
    QString text;
    switch (status) {
    case RunStatus::Done:
    case RunStatus::Cancelled: // the user's own doing: nothing to say
        return;
    case RunStatus::UnsupportedColorModel:
        text = tr("<p><center>This algorithm only supports RGB or Grayscale color "
                  "model</center></p>");
        break;
    case RunStatus::OutOfMemory:
        text = tr("<p><center>Not enough memory to denoise this image</center></p>");
        break;
    case RunStatus::InvalidLevel:
        text = tr("<p><center>The noise level must be 1 or more</center></p>");
        break;
    }
    QMessageBox::information(this, tr("Error"), text);
}

void Sigma::reportProgress(int percent)
{
    progressBar->setValue(percent);
    QCoreApplication::processEvents();
}

void Sigma::reject()
{
    restTimer.stop();
    if (running) {
        cancelRequested = true;
        *sigma = 0;
    }
    QDialog::reject();
}

void Sigma::changeLabel()
{
    label->setText(QString::number(slider->value(), 10));
    *sigma = slider->value();
    if (!slider->isSliderDown())
        restTimer.start();
}

void Sigma::viewSubImage()
{
    restTimer.stop();
    if (running) {
        previewPending = true;
        return;
    }
    *sigma = slider->value();
    preview(*sigma);
}

void Sigma::preview(int level)
{
    restTimer.stop();
    QImage copy = subImage;
    if (level > 0) {
        const QRect region = previewRegion(crop, image->size(), level);
        QImage part = image->copy(region);
        denoisePart(&part, level, region.topLeft());
        if (cancelRequested)
            return;
        // A value that came to rest during the run has not been seen yet.
        if (std::exchange(previewPending, false) && slider->value() != level)
            restTimer.start();
        copy = part.copy(crop.translated(-region.topLeft()));
    }
    shown = copy;
    display(comparing ? subImage : shown);
}

void Sigma::display(const QImage &picture)
{
    auto *preview = new QLabel;
    preview->setPixmap(QPixmap::fromImage(picture));
    // Mouse events go to the preview area, which moves the crop.
    preview->setAttribute(Qt::WA_TransparentForMouseEvents);
    scrollArea->setWidget(preview);
}

void Sigma::useEstimate()
{
    if (running || !(modelOn() || estimate))
        return;
    slider->setValue(modelOn() ? model->level : noiseLevelFor(*estimate));
    viewSubImage(); // stops the timer the new value started: one preview
}

void Sigma::modelToggled(bool on)
{
    if (plot)
        plot->setEnabled(on);
    useEstimateButton->setEnabled(estimate.has_value() || modelOn());
    // The level stays; what it denoises changed, so a preview shows it.
    if (*sigma > 0)
        viewSubImage();
}

void Sigma::compare(bool on)
{
    if (running || on == comparing)
        return;
    comparing = on;
    display(on || shown.isNull() ? subImage : shown);
}

void Sigma::moveCrop(QPoint topLeft)
{
    const int x = std::clamp(topLeft.x(), 0, std::max(image->width() - crop.width(), 0));
    const int y = std::clamp(topLeft.y(), 0, std::max(image->height() - crop.height(), 0));
    if (QPoint(x, y) == crop.topLeft())
        return;
    crop.moveTopLeft(QPoint(x, y));
    subImage = image->copy(crop);
    shown = QImage();
    display(subImage);
}

bool Sigma::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (watched != scrollArea->viewport()
        || (type != QEvent::MouseButtonPress && type != QEvent::MouseMove
            && type != QEvent::MouseButtonRelease))
        return QDialog::eventFilter(watched, event);
    const auto *mouse = static_cast<QMouseEvent *>(event);
    switch (type) {
    case QEvent::MouseButtonPress:
        if (mouse->button() != Qt::LeftButton || running)
            return false;
        dragging = true;
        dragged = false;
        dragStart = mouse->pos();
        cropAtDragStart = crop.topLeft();
        scrollArea->viewport()->setCursor(Qt::ClosedHandCursor);
        return true;
    case QEvent::MouseMove:
        if (!dragging)
            return false;
        // The image follows the pointer: dragging to the right shows what lies to the left.
        moveCrop(cropAtDragStart - (mouse->pos() - dragStart));
        dragged = dragged || crop.topLeft() != cropAtDragStart;
        return true;
    case QEvent::MouseButtonRelease:
        if (!dragging || mouse->button() != Qt::LeftButton)
            return false;
        dragging = false;
        scrollArea->viewport()->setCursor(Qt::OpenHandCursor);
        if (dragged)
            preview(*sigma);
        return true;
    default:
        return false;
    }
}

// The C key shows the undenoised crop while it is held, as the Compare button does.
bool Sigma::compareKey(QKeyEvent *event, bool pressed)
{
    if (event->key() != Qt::Key_C || event->modifiers() != Qt::NoModifier)
        return false;
    if (!event->isAutoRepeat())
        compare(pressed);
    event->accept();
    return true;
}

void Sigma::keyPressEvent(QKeyEvent *event)
{
    if (!compareKey(event, true))
        QDialog::keyPressEvent(event);
}

void Sigma::keyReleaseEvent(QKeyEvent *event)
{
    if (!compareKey(event, false))
        QDialog::keyReleaseEvent(event);
}

void Sigma::runAlg()
{
    if (running)
        return;
    restTimer.stop();
    if (*sigma > 0) {
        const RunStatus status = denoiseImage(image, *sigma);
        // A cancelled run has rejected the dialog already.
        if (cancelRequested)
            return;
        replaced = status == RunStatus::Done;
    }
    accept();
}

void Sigma::stopAlg()
{
    *sigma = 0;
    reject();
}

void Sigma::setRunning(bool on)
{
    // Disabling the focused slider passes the focus on to Cancel; hand it back once the run is
    // over, so that Return still means OK and not Cancel.
    if (on)
        focusBeforeRun = focusWidget();
    running = on;
    slider->setEnabled(!on);
    compareButton->setEnabled(!on);
    useEstimateButton->setEnabled(!on && (estimate.has_value() || modelOn()));
    evenOut->setEnabled(!on);
    buttonBox->button(QDialogButtonBox::Ok)->setEnabled(!on);
    if (!on && focusBeforeRun)
        focusBeforeRun->setFocus();
}
