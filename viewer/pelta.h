// Pelta: the main window with its menus, the image on display, file and clipboard commands.
#pragma once

#include "image/image_io.h"
#include "image/metadata.h"

#include <QImage>
#include <QMainWindow>
#include <QSize>

class QAction;
class QLabel;
class QScrollArea;
class QScrollBar;

// The window size for a screen whose available area is `available`: three fifths of it.
QSize initialWindowSize(const QSize &available);

// The program's only top-level window. It owns the image on display, the two images of the
// one-step edit history and the noise level shared with the Denoise dialog; its label, scroll
// area and actions belong to its widget tree. Used on the GUI thread only. The constructor
// builds the menus and sizes the window but does not show it. Besides the menus it takes a
// dropped image file, zooms on Ctrl + wheel and steps through the folder with Space and
// Backspace; these ask before they replace a denoised image that has not been saved. The title
// names the file last opened or saved ("Pasted image" for a pasted one) and carries Qt's
// modified mark while the image on display is such a denoised, unsaved image.
class Pelta : public QMainWindow
{
    Q_OBJECT

public:
    Pelta();

    // Reads the file and shows it; on failure shows a box with the reason and changes nothing.
    bool loadImageFile(const QString &fileName);
    // Writes the current image in the format of the name's suffix, with the metadata of the file
    // it came from; a box tells of a failure.
    bool writeImageFile(const QString &fileName);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void open();
    void saveAs();
    void copy();
    void paste();
    void undo();
    void redo();
    void zoomIn();
    void zoomOut();
    void normalSize();
    void fitToWindow();
    void about();
    void denoise();

private:
    void buildMenus();
    void showImage(const QImage &image);
    void refreshActions();
    void applyZoom(double factor);
    void rescaleScrollBar(QScrollBar *bar, double factor);
    void applyZoomLimits();
    void restoreView(double savedZoom, int savedHorizontal, int savedVertical);
    void stepHistory(QImage &saved, bool &savedDenoised, QImage &shown, bool &shownDenoised);
    void showLoadedImage(const QString &fileName, const ImageReadResult &read);
    void nameWindow(const QString &fileName);
    void markDenoised(bool denoised);
    void endHistory();
    bool mayDiscardDenoised();
    void openNeighbour(int step);
    void wheelZoom(const QWheelEvent *event);

    QImage currentImage;
    QImage redoImage;
    QImage undoImage;
    // The EXIF, IPTC and XMP of the file last opened, which every image of the history shares
    // and a save carries on; none for a pasted image.
    ImageMetadata currentMetadata;
    QLabel *pictureLabel;
    QScrollArea *pictureScroll;
    double zoomFactor = 1.0;
    int sigma = 0;
    QAction *saveAsAction = nullptr;
    QAction *undoAction = nullptr;
    QAction *redoAction = nullptr;
    QAction *zoomInAction = nullptr;
    QAction *zoomOutAction = nullptr;
    QAction *normalSizeAction = nullptr;
    QAction *fitToWindowAction = nullptr;
    QAction *denoiseAction = nullptr;
    // Whether the image on display, and those Undo and Redo bring back, come from an accepted
    // Denoise and have not been saved since: replacing such an image asks first.
    bool currentDenoised = false;
    bool undoDenoised = false;
    bool redoDenoised = false;
    // Wheel angle of Ctrl + wheel not yet turned into a zoom step, in eighths of a degree.
    int wheelAngle = 0;
};
