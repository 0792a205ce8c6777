// Pelta: the main window with its menus, the image on display, file and clipboard commands.
#pragma once

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
// builds the menus and sizes the window but does not show it.
class Pelta : public QMainWindow
{
    Q_OBJECT

public:
    Pelta();

    // Reads the file and shows it; on failure shows a box with the reason and changes nothing.
    bool loadImageFile(const QString &fileName);
    // Writes the current image in the format of the name's suffix; a box tells of a failure.
    bool writeImageFile(const QString &fileName);

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

    QImage currentImage;
    QImage redoImage;
    QImage undoImage;
    QLabel *pictureLabel;
    QScrollArea *pictureScroll;
    double zoomFactor;
    int sigma;
    QAction *saveAsAction = nullptr;
    QAction *undoAction = nullptr;
    QAction *redoAction = nullptr;
    QAction *zoomInAction = nullptr;
    QAction *zoomOutAction = nullptr;
    QAction *normalSizeAction = nullptr;
    QAction *fitToWindowAction = nullptr;
    QAction *denoiseAction = nullptr;
};
