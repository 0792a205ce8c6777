// dialog_shot: the README's picture of the Denoise dialog on a photograph with a camera's noise.
// Not a test; run by hand (scripts/screenshot.sh does, on the offscreen platform).
//
//   dialog_shot clean.jpg noisy.png dialog.png
//
// The clean photograph, scaled to 640 x 400, is taken to linear light L (0..1) through the sRGB
// curve, given Poisson-Gaussian noise of variance 0.01 L + 0.0005 (about ISO 3200, seeded) and
// taken back to 8 bits (saved as noisy.png); the dialog opens on it, "Use estimate" is pressed
// and the dialog, with its preview at that level, is saved as dialog.png.
#include "denoise/sigma.h"

#include <QApplication>
#include <QPushButton>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

namespace {

int withCameraNoise(int value, std::mt19937 &random)
{
    std::normal_distribution<double> noise;
    const double c = value / 255.0;
    const double l = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    const double n = std::clamp(l + std::sqrt(0.01 * l + 0.0005) * noise(random), 0.0, 1.0);
    return int(
        std::lround(255.0 * (n <= 0.0031308 ? 12.92 * n : 1.055 * std::pow(n, 1.0 / 2.4) - 0.055)));
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: dialog_shot clean-photograph noisy.png dialog.png\n");
        return 2;
    }
    const QImage clean = QImage(QString::fromLocal8Bit(argv[1]))
                             .scaled(640, 400, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                             .convertToFormat(QImage::Format_RGB32);
    if (clean.isNull()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    QImage image = clean;
    std::mt19937 random(2);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = clean.pixel(x, y);
            image.setPixel(x, y,
                qRgb(withCameraNoise(qRed(p), random), withCameraNoise(qGreen(p), random),
                    withCameraNoise(qBlue(p), random)));
        }
    }
    int level = 0;
    Sigma dialog(&image, &level, RunOptions());
    dialog.show();
    QApplication::processEvents();
    for (QPushButton *button : dialog.findChildren<QPushButton *>())
        if (button->text() == QStringLiteral("Use estimate"))
            button->click();
    QApplication::processEvents();
    const bool saved = image.save(QString::fromLocal8Bit(argv[2]))
        && dialog.grab().save(QString::fromLocal8Bit(argv[3]), "PNG", 0);
    std::printf("level %d\n", level);
    return saved ? 0 : 1;
}
