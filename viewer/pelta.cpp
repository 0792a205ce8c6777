// The main window: construction, menus, showing an image, files and the clipboard.
#include "viewer/pelta.h"

#include "denoise/sigma.h"
#include "image/image_denoise.h"
#include "image/image_files.h"
#include "image/image_io.h"
#include "viewer/folder.h"
#include "viewer/zoom.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

#include <cstdlib>
#include <memory>

// The denoiser needs at least this many pixels in each direction.
constexpr int kMinimumDenoiseSide = 16;

// Wheel angle of one notch of a common mouse wheel, in eighths of a degree: one zoom step.
constexpr int kWheelNotch = 120;

// Only the first Open dialog of the process is sent to the pictures folder; later ones open
// wherever the dialog itself remembers.
static bool firstOpenDialog = true;

QSize initialWindowSize(const QSize &available)
{
    return available * 3.0 / 5.0;
}

static QString nativeName(const QString &fileName)
{
    return QDir::toNativeSeparators(fileName);
}

// The file a drag carries when it is exactly one local file (not a folder); otherwise empty.
// Whether it is an image is for the drop to find out, which then says why it is not.
static QString draggedFile(const QMimeData *data)
{
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile())
        return {};
    QString fileName = urls.first().toLocalFile();
    if (QFileInfo(fileName).isDir())
        return {};
    return fileName;
}

// Accepts a drag of one file as a copy, never as a move, after which the file manager would
// delete the file; refuses anything else, which the cursor shows.
static QString acceptImageDrag(QDropEvent *event)
{
    QString fileName = draggedFile(event->mimeData());
    if (fileName.isEmpty() || !(event->possibleActions() & Qt::CopyAction)) {
        event->ignore();
        return {};
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    return fileName;
}

Pelta::Pelta()
    : QMainWindow()
    , pictureLabel(new QLabel)
    , pictureScroll(new QScrollArea)
{
    pictureLabel->setBackgroundRole(QPalette::Base);
    pictureLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    pictureLabel->setScaledContents(true);

    pictureScroll->setBackgroundRole(QPalette::Dark);
    pictureScroll->setWidget(pictureLabel);
    pictureScroll->setVisible(false);
    pictureScroll->viewport()->installEventFilter(this);
    setCentralWidget(pictureScroll);
    setAcceptDrops(true);

    buildMenus();

    if (const QScreen *screen = QGuiApplication::primaryScreen())
        resize(initialWindowSize(screen->availableSize()));
}

// Every action is named after its slot, so that tests find it whatever its text.
void Pelta::buildMenus()
{
    QMenu *fileMenu = menuBar()->addMenu(tr("&File"));
    QAction *openAction = fileMenu->addAction(tr("&Open..."), this, &Pelta::open);
    openAction->setObjectName("open");
    openAction->setShortcut(QKeySequence::Open);

    saveAsAction = fileMenu->addAction(tr("&Save As..."), this, &Pelta::saveAs);
    saveAsAction->setObjectName("saveAs");
    saveAsAction->setEnabled(false);

    fileMenu->addSeparator();

    QAction *exitAction = fileMenu->addAction(tr("E&xit"), this, &QWidget::close);
    exitAction->setObjectName("exit");
    exitAction->setShortcut(QKeySequence(tr("Ctrl+Q"), QKeySequence::NativeText));

    QMenu *editMenu = menuBar()->addMenu(tr("&Edit"));
    undoAction = editMenu->addAction(tr("&Undo"), this, &Pelta::undo);
    undoAction->setObjectName("undo");
    undoAction->setShortcut(QKeySequence::Undo);
    undoAction->setEnabled(false);

    redoAction = editMenu->addAction(tr("&Redo"), this, &Pelta::redo);
    redoAction->setObjectName("redo");
    redoAction->setShortcut(QKeySequence::Redo);
    redoAction->setEnabled(false);

    QMenu *filtersMenu = menuBar()->addMenu(tr("&Filters"));
    denoiseAction = filtersMenu->addAction(tr("Denoise..."), this, &Pelta::denoise);
    denoiseAction->setObjectName("denoise");
    denoiseAction->setEnabled(false);

    filtersMenu->addSeparator();

    zoomInAction = filtersMenu->addAction(tr("Zoom &In (25%)"), this, &Pelta::zoomIn);
    zoomInAction->setObjectName("zoomIn");
    zoomInAction->setShortcut(QKeySequence::ZoomIn);
    zoomInAction->setEnabled(false);

    zoomOutAction = filtersMenu->addAction(tr("Zoom &Out (25%)"), this, &Pelta::zoomOut);
    zoomOutAction->setObjectName("zoomOut");
    zoomOutAction->setShortcut(QKeySequence::ZoomOut);
    zoomOutAction->setEnabled(false);

    normalSizeAction = filtersMenu->addAction(tr("&Normal Size"), this, &Pelta::normalSize);
    normalSizeAction->setObjectName("normalSize");
    normalSizeAction->setShortcut(QKeySequence(tr("Ctrl+S"), QKeySequence::NativeText));
    normalSizeAction->setEnabled(false);

    filtersMenu->addSeparator();

    fitToWindowAction = filtersMenu->addAction(tr("&Fit to Window"), this, &Pelta::fitToWindow);
    fitToWindowAction->setObjectName("fitToWindow");
    fitToWindowAction->setShortcut(QKeySequence(tr("Ctrl+F"), QKeySequence::NativeText));
    fitToWindowAction->setEnabled(false);
    fitToWindowAction->setCheckable(true);

    QMenu *helpMenu = menuBar()->addMenu(tr("&Help"));
    helpMenu->addAction(tr("&About..."), this, &Pelta::about)->setObjectName("about");
}

void Pelta::showImage(const QImage &image)
{
    currentImage = image;
    pictureLabel->setPixmap(QPixmap::fromImage(currentImage));
    zoomFactor = 1.0;
    pictureScroll->setVisible(true);
    fitToWindowAction->setEnabled(true);
    refreshActions();
    if (!fitToWindowAction->isChecked())
        pictureLabel->adjustSize();
}

void Pelta::refreshActions()
{
    const bool scaled = !fitToWindowAction->isChecked();
    saveAsAction->setEnabled(!currentImage.isNull());
    zoomInAction->setEnabled(scaled);
    zoomOutAction->setEnabled(scaled);
    normalSizeAction->setEnabled(scaled);
    denoiseAction->setEnabled(scaled);
}

bool Pelta::loadImageFile(const QString &fileName)
{
    const ImageReadResult read = readImageFile(fileName);
    if (read.image.isNull()) {
        QMessageBox::information(this, QGuiApplication::applicationDisplayName(),
            tr("Cannot load %1: %2").arg(nativeName(fileName), read.errorText));
        return false;
    }
    showLoadedImage(fileName, read);
    return true;
}

void Pelta::showLoadedImage(const QString &fileName, const ImageReadResult &read)
{
    showImage(read.image);
    currentMetadata = read.metadata;
    markDenoised(false);
    nameWindow(fileName);
    // Multi-argument arg() so that a '%' in the file name is never taken for a place marker.
    statusBar()->showMessage(
        tr("Opened \"%1\", %2x%3, Depth: %4")
            .arg(nativeName(fileName), QString::number(currentImage.width()),
                QString::number(currentImage.height()), QString::number(currentImage.depth())));
}

bool Pelta::writeImageFile(const QString &fileName)
{
    QString error;
    ImageWriteOptions options;
    options.metadata = currentMetadata;
    if (!::writeImageFile(currentImage, fileName, &error, options)) {
        QMessageBox::information(this, QGuiApplication::applicationDisplayName(),
            tr("Cannot write %1: %2").arg(nativeName(fileName), error));
        return false;
    }
    statusBar()->showMessage(tr("Wrote \"%1\"").arg(nativeName(fileName)));
    markDenoised(false);
    return true;
}

void Pelta::open()
{
    QFileDialog dialog(this, tr("Open File"));
    if (firstOpenDialog) {
        firstOpenDialog = false;
        const QStringList pictures
            = QStandardPaths::standardLocations(QStandardPaths::PicturesLocation);
        dialog.setDirectory(pictures.isEmpty() ? QDir::currentPath() : pictures.last());
    }
    dialog.setMimeTypeFilters(readableMimeTypes());
    dialog.selectMimeTypeFilter(QStringLiteral("image/jpeg"));

    // An unreadable choice has shown its box; the dialog comes back until a load or a cancel.
    while (dialog.exec() == QDialog::Accepted) {
        if (loadImageFile(dialog.selectedFiles().value(0)))
            break;
    }
    endHistory();
}

void Pelta::endHistory()
{
    undoAction->setEnabled(false);
    redoAction->setEnabled(false);
}

void Pelta::saveAs()
{
    const QString fileName = QFileDialog::getSaveFileName(this);
    if (!fileName.isEmpty() && writeImageFile(fileName))
        nameWindow(fileName);
}

// The title names the file, or tells a pasted image; "[*]" is where Qt shows the mark of a
// denoised image not saved since (see markDenoised), and the platform adds the program's name.
// Space and Backspace walk the folder of the window's file.
void Pelta::nameWindow(const QString &fileName)
{
    setWindowFilePath(fileName);
    setWindowTitle(fileName.isEmpty() ? tr("Pasted image[*]")
                                      : QFileInfo(fileName).fileName() + QStringLiteral("[*]"));
}

void Pelta::markDenoised(bool denoised)
{
    currentDenoised = denoised;
    setWindowModified(denoised);
}

void Pelta::copy()
{
    QGuiApplication::clipboard()->setImage(currentImage, QClipboard::Clipboard);
}

void Pelta::paste()
{
    QImage image;
    if (const QMimeData *mimeData = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard)) {
        if (mimeData->hasImage())
            image = qvariant_cast<QImage>(mimeData->imageData());
    }
    if (image.isNull()) {
        statusBar()->showMessage(tr("No image in clipboard"));
        return;
    }
    showImage(image);
    markDenoised(false);
    currentMetadata = ImageMetadata();
    nameWindow(QString());
    statusBar()->showMessage(tr("Obtained image from clipboard, %1x%2, Depth: %3")
                                 .arg(currentImage.width())
                                 .arg(currentImage.height())
                                 .arg(currentImage.depth()));
}

void Pelta::undo()
{
    stepHistory(redoImage, redoDenoised, undoImage, undoDenoised);
    undoAction->setEnabled(false);
    redoAction->setEnabled(true);
}

void Pelta::redo()
{
    stepHistory(undoImage, undoDenoised, redoImage, redoDenoised);
    undoAction->setEnabled(true);
    redoAction->setEnabled(false);
}

// Undo and Redo: the image on display goes to `saved` and the one in `shown` comes back, in
// the same view.
void Pelta::stepHistory(QImage &saved, bool &savedDenoised, QImage &shown, bool &shownDenoised)
{
    const double savedZoom = zoomFactor;
    const int savedHorizontal = pictureScroll->horizontalScrollBar()->value();
    const int savedVertical = pictureScroll->verticalScrollBar()->value();
    saved = currentImage;
    currentImage = shown;
    savedDenoised = currentDenoised;
    markDenoised(shownDenoised);
    restoreView(savedZoom, savedHorizontal, savedVertical);
    sigma = 0;
}

void Pelta::zoomIn()
{
    applyZoom(kZoomInStep);
}

void Pelta::zoomOut()
{
    applyZoom(kZoomOutStep);
}

void Pelta::normalSize()
{
    // The scroll bars are left to the scroll area, which only clamps them to the new range.
    pictureLabel->adjustSize();
    zoomFactor = 1.0;
}

void Pelta::fitToWindow()
{
    const bool fitting = fitToWindowAction->isChecked();
    pictureScroll->setWidgetResizable(fitting);
    if (!fitting)
        normalSize();
    refreshActions();
}

void Pelta::applyZoom(double factor)
{
    zoomFactor *= factor;
    // The label's resize updates the scroll bars' ranges at once, before they are moved.
    pictureLabel->resize(zoomedSize(pictureLabel->pixmap(Qt::ReturnByValue).size(), zoomFactor));
    rescaleScrollBar(pictureScroll->horizontalScrollBar(), factor);
    rescaleScrollBar(pictureScroll->verticalScrollBar(), factor);
    applyZoomLimits();
}

void Pelta::rescaleScrollBar(QScrollBar *bar, double factor)
{
    bar->setValue(rescaledScrollValue(bar->value(), bar->pageStep(), factor));
}

void Pelta::applyZoomLimits()
{
    zoomInAction->setEnabled(canZoomIn(zoomFactor));
    zoomOutAction->setEnabled(canZoomOut(zoomFactor));
}

void Pelta::restoreView(double savedZoom, int savedHorizontal, int savedVertical)
{
    showImage(currentImage);
    zoomFactor = savedZoom * zoomFactor;
    pictureLabel->resize(zoomedSize(pictureLabel->pixmap(Qt::ReturnByValue).size(), zoomFactor));
    pictureScroll->horizontalScrollBar()->setValue(savedHorizontal);
    pictureScroll->verticalScrollBar()->setValue(savedVertical);
    applyZoomLimits();
}

void Pelta::about()
{
    QMessageBox::about(this, tr("About pelta 1.0.1"),
        QStringLiteral("<p><center><font size = 8> pelta</font></center></p><p><center><font size "
                       "= 2> Version 1.0.1 (")
            + QCoreApplication::applicationVersion()
            + QStringLiteral(
                ")</font></center></p><p><center>Denoising algorithm is based on theory of "
                "backward stochastic differential equations</center></p><p><center>The Pelta "
                "developers</center></p>"));
}

void Pelta::denoise()
{
    if (currentImage.height() < kMinimumDenoiseSide || currentImage.width() < kMinimumDenoiseSide) {
        QMessageBox::information(this, tr("Error"),
            tr("<p><center>The size of the image is to small to apply algorithm</center></p>"),
            QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    // Said before the dialog opens rather than after the user has picked a level.
    if (planDenoise(currentImage, {}).status == RunStatus::UnsupportedColorModel) {
        QMessageBox::information(this, tr("Error"),
            tr("<p><center>This algorithm only supports RGB or Grayscale color "
               "model</center></p>"));
        return;
    }
    const double savedZoom = zoomFactor;
    const int savedHorizontal = pictureScroll->horizontalScrollBar()->value();
    const int savedVertical = pictureScroll->verticalScrollBar()->value();
    // Shares the pixels: a run swaps a new image into currentImage and leaves this one alone.
    const QImage before = currentImage;

    // The dialog writes currentImage and sigma through its pointers while it runs. Its runs use
    // every hardware thread, the memory available and the dialog's own table.
    std::unique_ptr<Sigma> dialog(new Sigma(&currentImage, &sigma, RunOptions()));
    const bool accepted = dialog->exec() == QDialog::Accepted;
    const bool denoised = dialog->denoised();
    dialog.reset();
    sigma = 0;
    // Cancelled or closed: the history stays as it was, Redo's image included.
    if (!accepted)
        return;
    undoImage = before;
    undoDenoised = currentDenoised;
    restoreView(savedZoom, savedHorizontal, savedVertical);
    // OK at level 0, or a run that failed, left currentImage as it was.
    if (denoised)
        markDenoised(true);
    undoAction->setEnabled(true);
    redoAction->setEnabled(false);
}

bool Pelta::mayDiscardDenoised()
{
    return !currentDenoised
        || QMessageBox::question(this, QGuiApplication::applicationDisplayName(),
               tr("Discard the denoised image?"), QMessageBox::Discard | QMessageBox::Cancel,
               QMessageBox::Cancel)
        == QMessageBox::Discard;
}

void Pelta::dragEnterEvent(QDragEnterEvent *event)
{
    acceptImageDrag(event);
}

void Pelta::dragMoveEvent(QDragMoveEvent *event)
{
    acceptImageDrag(event);
}

void Pelta::dropEvent(QDropEvent *event)
{
    const QString fileName = acceptImageDrag(event);
    if (fileName.isEmpty())
        return;
    // Opened once the drop has returned, so that a question or a failure box does not keep the
    // program the file came from waiting for the end of the drop. A file that cannot be read
    // says why, as Open does, before anything would be discarded for it.
    QTimer::singleShot(0, this, [this, fileName] {
        const ImageReadResult read = readImageFile(fileName);
        if (read.image.isNull()) {
            QMessageBox::information(this, QGuiApplication::applicationDisplayName(),
                tr("Cannot load %1: %2").arg(nativeName(fileName), read.errorText));
        } else if (mayDiscardDenoised()) {
            showLoadedImage(fileName, read);
            endHistory();
        }
    });
}

void Pelta::keyPressEvent(QKeyEvent *event)
{
    const bool plain = event->modifiers() == Qt::NoModifier;
    if (plain && (event->key() == Qt::Key_Space || event->key() == Qt::Key_Backspace))
        openNeighbour(event->key() == Qt::Key_Space ? 1 : -1);
    else
        QMainWindow::keyPressEvent(event);
}

// Opens the first readable image `step` (+1 next, -1 previous) away in the current file's
// folder; the unreadable ones on the way are named in the status bar.
void Pelta::openNeighbour(int step)
{
    const QFileInfo current(windowFilePath());
    if (windowFilePath().isEmpty() || !mayDiscardDenoised())
        return;
    const QDir folder = current.absoluteDir();
    QStringList skipped;
    const QStringList names
        = neighbourNames(listImageFiles(folder.path()), current.fileName(), step);
    for (const QString &name : names) {
        const QString fileName = folder.filePath(name);
        const ImageReadResult read = readImageFile(fileName);
        if (read.image.isNull()) {
            skipped.append(QStringLiteral("\"%1\" (%2)").arg(name, read.errorText));
            continue;
        }
        showLoadedImage(fileName, read);
        endHistory();
        if (!skipped.isEmpty())
            statusBar()->showMessage(
                tr("%1; skipped %2").arg(statusBar()->currentMessage(), skipped.join(", ")));
        return;
    }
    statusBar()->showMessage(skipped.isEmpty()
            ? tr("No other image in this folder")
            : tr("No other image in this folder could be read; skipped %1")
                  .arg(skipped.join(", ")));
}

bool Pelta::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == pictureScroll->viewport() && event->type() == QEvent::Wheel) {
        const auto *wheel = static_cast<QWheelEvent *>(event);
        if (wheel->modifiers() & Qt::ControlModifier) {
            wheelZoom(wheel);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// One zoom step per notch, about the point under the mouse; the finer steps of high-resolution
// wheels and touchpads add up until they make a notch. Offered as the menu's zoom is: not while
// fitting, and within the zoom limits.
void Pelta::wheelZoom(const QWheelEvent *event)
{
    wheelAngle += event->angleDelta().y();
    const QPoint anchor = event->position().toPoint();
    QScrollBar *horizontal = pictureScroll->horizontalScrollBar();
    QScrollBar *vertical = pictureScroll->verticalScrollBar();
    while (std::abs(wheelAngle) >= kWheelNotch) {
        const bool in = wheelAngle > 0;
        wheelAngle -= in ? kWheelNotch : -kWheelNotch;
        if (!(in ? zoomInAction : zoomOutAction)->isEnabled())
            continue;
        const double factor = in ? kZoomInStep : kZoomOutStep;
        const int x = horizontal->value();
        const int y = vertical->value();
        applyZoom(factor);
        horizontal->setValue(anchoredScrollValue(x, anchor.x(), factor));
        vertical->setValue(anchoredScrollValue(y, anchor.y(), factor));
    }
}
