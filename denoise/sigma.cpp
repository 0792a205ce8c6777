// The Denoise dialog: layout, preview, OK and Cancel, and the runs with their progress.
#include "sigma.h"

#include "core/run_observer.h"
#include "image/image_denoise.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>

#include <algorithm>
#include <cmath>
#include <new>

QRect previewCrop(const QSize &imageSize)
{
    const int w = imageSize.width();
    const int h = imageSize.height();
    const int cx = w / 2;
    const int cy = h / 2;
    const QPoint topLeft(std::max(cx - 128, 0), std::max(cy - 128, 0));
    const QPoint bottomRight(std::min(cx + 128, w - 1) - 1, std::min(cy + 128, h - 1) - 1);
    return QRect(topLeft, bottomRight);
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

Sigma::Sigma(QImage *image, int *sigma)
    : QDialog()
    , image(image)
    , sigma(sigma)
{
    buttonBox = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttonBox, SIGNAL(accepted()), this, SLOT(runAlg()));
    connect(buttonBox, SIGNAL(rejected()), this, SLOT(stopAlg()));

    slider = new QSlider(Qt::Horizontal);
    connect(slider, SIGNAL(valueChanged(int)), this, SLOT(changeLabel()));
    connect(slider, SIGNAL(sliderReleased()), this, SLOT(viewSubImage()));

    auto *frame = new QFrame;
    progressBar = new QProgressBar;
    label = new QLabel(QString::number(*sigma, 10));

    scrollArea = new QScrollArea;
    auto *preview = new QLabel;
    auto *frameLayout = new QGridLayout(frame);
    frameLayout->addWidget(slider, 1, 1);
    frameLayout->addWidget(label, 1, 2);
    frameLayout->setContentsMargins(0, 0, 0, 0);

    subImage = image->copy(previewCrop(image->size()));
    preview->setPixmap(QPixmap::fromImage(subImage));
    scrollArea->setWidget(preview);

    auto *layout = new QGridLayout(this);
    layout->addWidget(scrollArea, 1, 1);
    layout->addWidget(progressBar, 2, 1);
    layout->addWidget(frame, 3, 1);
    layout->addWidget(buttonBox, 4, 1);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setModal(true);

    // The table every run of this dialog draws from: a preview then shows OK's pixels, and no
    // preview pays for building it.
    try {
        ownTable = std::make_unique<NormalTable>();
        runOptions.table = ownTable.get();
    } catch (const std::bad_alloc &) {
        // Each run builds its own then, and reports if even that does not fit.
    }
}

void Sigma::denoiseImage(QImage *image, int sigma)
{
    denoisePart(image, sigma, QPoint(0, 0));
}

void Sigma::denoisePart(QImage *image, int sigma, QPoint origin)
{
    if (running)
        return;
    Observer observer(this);
    RunOptions options = runOptions;
    options.observer = &observer;
    options.originX = origin.x();
    options.originY = origin.y();
    cancelRequested = false;
    setRunning(true);
    const ImageDenoiseStatus status = denoiseQImage(*image, sigma, options);
    setRunning(false);

    if (status == ImageDenoiseStatus::UnsupportedColorModel) {
        QMessageBox::information(this, tr("Error"),
            tr("<p><center>This algorithm only supports RGB or Grayscale color "
               "model</center></p>"));
    } else if (status == ImageDenoiseStatus::OutOfMemory) {
        QMessageBox::information(this, tr("Error"),
            tr("<p><center>Not enough memory to denoise this image</center></p>"));
    }
    progressBar->setValue(0);
}

void Sigma::reportProgress(int percent)
{
    progressBar->setValue(percent);
    QCoreApplication::processEvents();
}

void Sigma::setRunOptions(const RunOptions &options)
{
    runOptions = options;
    runOptions.observer = nullptr;
    if (!runOptions.table)
        runOptions.table = ownTable.get();
}

void Sigma::reject()
{
    if (running) {
        cancelRequested = true;
        *sigma = 0;
    }
    QDialog::reject();
}

void Sigma::changeLabel()
{
    label->setText(QString::number(slider->value(), 10));
}

void Sigma::viewSubImage()
{
    if (running)
        return;
    *sigma = slider->value();
    QImage copy = subImage;
    if (*sigma > 0) {
        const QRect crop = previewCrop(image->size());
        const QRect region = previewRegion(crop, image->size(), *sigma);
        QImage part = image->copy(region);
        denoisePart(&part, *sigma, region.topLeft());
        if (cancelRequested)
            return;
        copy = part.copy(crop.translated(-region.topLeft()));
    }
    auto *preview = new QLabel;
    preview->setPixmap(QPixmap::fromImage(copy));
    scrollArea->setWidget(preview);
}

void Sigma::runAlg()
{
    if (running)
        return;
    if (*sigma > 0) {
        denoiseImage(image, *sigma);
        // A cancelled run has rejected the dialog already.
        if (cancelRequested)
            return;
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
    buttonBox->button(QDialogButtonBox::Ok)->setEnabled(!on);
    if (!on && focusBeforeRun)
        focusBeforeRun->setFocus();
}
