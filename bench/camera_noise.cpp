// camera_noise: the noise curve and its transform against the uniform level, on camera-like
// photographs made from clean ones. Not a test; run by hand (see bench/CMakeLists.txt).
//
// Each clean photograph (a centre crop of at most 512 x 512) is taken to linear light through the
// sRGB curve, given Poisson-Gaussian noise (variance shot * L + read, L on 0..1) at five levels
// from about ISO 400 to 6400, taken back to sRGB and rounded to 8 bits; each also saved as JPEG of
// quality 90 and read back. Printed per case, PSNR against the clean crop of:
//   auto     today's automatic mode: estimateNoiseLevel, denoise at noiseLevelFor of it;
//   best     the best single level, from a sweep around the automatic one;
//   curve    the image's noise model (measureImageNoiseModel): its transform, denoise at its
//            level, unbiased inverse;
// and on uniform Gaussian noise of 3, 5, 10, 25 and 40 whether the curve is flat (then curve =
// auto, today's path). A photograph whose shorter side exceeds 1024 is first scaled down to 768 (a
// wallpaper or a camera's JPEG: scaling takes out its own noise and compression). --uniform runs
// the uniform noise alone.
//
//   camera_noise [--seeds N] [--jpeg] [--uniform] image.png[:gray] ...
// Python's scikit-image ships suitable photographs (Debian python3-skimage, skimage/data), the
// Plasma wallpapers more (plasma-workspace-wallpapers, /usr/share/wallpapers/*/contents/images).
#include "core/noise_estimate.h"
#include "core/noise_transform.h"
#include "core/plane_run.h"
#include "core/sample_tables.h"
#include "image/noise_model.h"
#include "support/test_images.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

struct Iso
{
    const char *name;
    double shot;
    double read;
};
const Iso kIsos[] = {{"400", 0.002, 0.00003}, {"800", 0.004, 0.0001}, {"1600", 0.006, 0.00025},
    {"3200", 0.01, 0.0005}, {"6400", 0.02, 0.0012}};

double toLinear(double v)
{
    const double c = v / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double toSrgb(double l)
{
    l = std::clamp(l, 0.0, 1.0);
    return 255.0 * (l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1.0 / 2.4) - 0.055);
}

template<typename Cell>
constexpr bool kColor = std::is_same_v<Cell, Vec3>;

template<typename Cell>
Plane<Cell> planeOf(const QImage &source)
{
    const QImage image
        = source.convertToFormat(kColor<Cell> ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
    Plane<Cell> plane(image.width(), image.height());
    auto *values = reinterpret_cast<float *>(plane.data());
    const int perRow = image.width() * (kColor<Cell> ? 3 : 1);
    for (int y = 0; y < image.height(); ++y)
        for (int i = 0; i < perRow; ++i)
            values[std::int64_t(y) * perRow + i] = image.constScanLine(y)[i];
    return plane;
}

// The plane's whole levels as an 8-bit image.
template<typename Cell>
QImage imageOf(const Plane<Cell> &plane)
{
    QImage image(plane.width(), plane.height(),
        kColor<Cell> ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
    const int perRow = plane.width() * (kColor<Cell> ? 3 : 1);
    for (int y = 0; y < plane.height(); ++y)
        for (int i = 0; i < perRow; ++i)
            image.scanLine(y)[i] = uchar(valuesOf(plane)[std::int64_t(y) * perRow + i]);
    return image;
}

template<typename Cell>
Plane<Cell> throughJpeg(const Plane<Cell> &plane)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    imageOf(plane).save(&buffer, "JPG", 90);
    return planeOf<Cell>(QImage::fromData(bytes, "JPG"));
}

template<typename Cell>
Plane<Cell> cameraNoise(const Plane<Cell> &clean, const Iso &iso, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> noise;
    return mapped(clean, [&](float v) {
        const double l = toLinear(v);
        return float(std::round(toSrgb(l + std::sqrt(iso.shot * l + iso.read) * noise(random))));
    });
}

template<typename Cell>
Plane<Cell> denoise(const Plane<Cell> &source, int level, const NormalTable &table)
{
    RunOptions options;
    options.threads = 1;
    options.table = &table;
    Plane<Cell> result;
    if constexpr (kColor<Cell>)
        denoiseColor(source, level, result, options);
    else
        denoiseGray(source, level, result, options);
    return result;
}

struct Outcome
{
    double autoPsnr = 0.0;
    double bestPsnr = 0.0;
    double curvePsnr = 0.0;
    int autoLevel = 0;
    int bestLevel = 0;
    int curveLevel = 0;
    bool flat = true;
};

template<typename Cell>
Outcome evaluate(
    const Plane<Cell> &clean, const Plane<Cell> &noisy, bool sweep, const NormalTable &table)
{
    Outcome o;
    const float estimate = estimateNoiseLevel(noisy).value_or(1.0f);
    std::map<int, double> psnrAt;
    const auto at = [&](int level) {
        level = std::clamp(level, 1, 99);
        if (psnrAt.count(level) == 0)
            psnrAt[level] = psnr(clean, toPixels(denoise(noisy, level, table)));
        return psnrAt[level];
    };
    o.autoLevel = noiseLevelFor(estimate);
    o.autoPsnr = at(o.autoLevel);
    o.bestLevel = o.autoLevel;
    if (sweep) {
        for (int level = std::max(1, int(0.6f * estimate)); level <= int(2.2f * estimate) + 2;
             level += 3)
            o.bestLevel = at(level) > at(o.bestLevel) ? level : o.bestLevel;
        for (int level = o.bestLevel - 2; level <= o.bestLevel + 2; ++level)
            o.bestLevel = at(level) > at(o.bestLevel) ? level : o.bestLevel;
    }
    o.bestPsnr = at(o.bestLevel);
    const std::optional<ImageNoiseModel> model = measureImageNoiseModel(imageOf(noisy));
    o.flat = !model || !model->transform;
    o.curveLevel = o.autoLevel;
    o.curvePsnr = o.autoPsnr;
    if (o.flat)
        return o;
    Plane<Cell> even = copyOf(noisy);
    model->transform->forward(even);
    o.curveLevel = model->level;
    Plane<Cell> result = denoise(even, o.curveLevel, table);
    model->transform->unbiasedInverse(result);
    o.curvePsnr = psnr(clean, toPixels(result));
    return o;
}

struct Totals
{
    std::vector<double> autoGap; // auto - best
    std::vector<double> curveGap; // curve - best
    std::vector<double> uniformGap; // curve - auto on uniform noise
    int uniformBent = 0; // uniform cases whose curve is not flat
};

template<typename Cell>
void runImage(const std::string &name, const Plane<Cell> &clean, bool jpeg, bool uniformOnly,
    int seeds, const NormalTable &table, Totals &totals)
{
    std::uint32_t seed = 1;
    for (const Iso &iso : kIsos) {
        if (uniformOnly) {
            seed += std::uint32_t((jpeg ? 2 : 1) * seeds);
            continue;
        }
        for (int variant = 0; variant < (jpeg ? 2 : 1); ++variant) {
            for (int s = 0; s < seeds; ++s) {
                Plane<Cell> noisy = cameraNoise(clean, iso, seed++);
                if (variant == 1)
                    noisy = throughJpeg(noisy);
                const Outcome o = evaluate(clean, noisy, true, table);
                std::printf("%-20s ISO %-5s %-4s auto %2d %6.2f  best %2d %6.2f  curve %2d %6.2f "
                            " %+.2f\n",
                    name.c_str(), iso.name, variant == 1 ? "jpeg" : "raw", o.autoLevel, o.autoPsnr,
                    o.bestLevel, o.bestPsnr, o.curveLevel, o.curvePsnr, o.curvePsnr - o.bestPsnr);
                std::fflush(stdout);
                totals.autoGap.push_back(o.autoPsnr - o.bestPsnr);
                totals.curveGap.push_back(o.curvePsnr - o.bestPsnr);
            }
        }
    }
    for (const float sigma : {3.0f, 5.0f, 10.0f, 25.0f, 40.0f}) {
        const Outcome o = evaluate(clean, addNoise(clean, sigma, seed++), false, table);
        std::printf("%-20s uniform %2.0f      auto %2d %6.2f  curve %2d %6.2f  %s %+.3f\n",
            name.c_str(), double(sigma), o.autoLevel, o.autoPsnr, o.curveLevel, o.curvePsnr,
            o.flat ? "flat" : "not flat", o.curvePsnr - o.autoPsnr);
        totals.uniformGap.push_back(o.curvePsnr - o.autoPsnr);
        totals.uniformBent += o.flat ? 0 : 1;
    }
}

double mean(const std::vector<double> &v)
{
    double sum = 0.0;
    for (const double x : v)
        sum += x;
    return v.empty() ? 0.0 : sum / double(v.size());
}

} // namespace

int main(int argc, char **argv)
{
    // The image plug-ins (JPEG) are found through the application's library paths.
    const QCoreApplication app(argc, argv);
    bool jpeg = false;
    bool uniformOnly = false;
    int seeds = 1;
    const NormalTable table(12345u);
    Totals totals;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--jpeg") {
            jpeg = true;
            continue;
        }
        if (arg == "--uniform") {
            uniformOnly = true;
            continue;
        }
        if (arg == "--seeds" && i + 1 < argc) {
            seeds = std::max(1, std::atoi(argv[++i]));
            continue;
        }
        const bool gray = arg.size() > 5 && arg.compare(arg.size() - 5, 5, ":gray") == 0;
        const std::string file = gray ? arg.substr(0, arg.size() - 5) : arg;
        QImage image(QString::fromStdString(file));
        if (image.isNull()) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        if (const int shorter = std::min(image.width(), image.height()); shorter > 1024)
            image = image.scaled(image.width() * 768 / shorter, image.height() * 768 / shorter,
                Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const int width = std::min(image.width(), 512);
        const int height = std::min(image.height(), 512);
        image
            = image.copy((image.width() - width) / 2, (image.height() - height) / 2, width, height);
        // A wallpaper by its folder's name, any other file by its own.
        const std::size_t wallpaper = file.find("wallpapers/");
        const std::string name = wallpaper == std::string::npos
            ? file.substr(file.find_last_of('/') + 1)
            : file.substr(wallpaper + 11, file.find('/', wallpaper + 11) - wallpaper - 11);
        if (gray)
            runImage(name, planeOf<float>(image), jpeg, uniformOnly, seeds, table, totals);
        else
            runImage(name, planeOf<Vec3>(image), jpeg, uniformOnly, seeds, table, totals);
    }
    if (!totals.curveGap.empty()) {
        const auto below = std::count_if(
            totals.curveGap.begin(), totals.curveGap.end(), [](double gap) { return gap < -0.1; });
        std::printf("%zu camera cases: auto %+.2f dB from the best single level on average, curve "
                    "%+.2f (worst %+.2f, %td more than 0.1 dB below)\n",
            totals.curveGap.size(), mean(totals.autoGap), mean(totals.curveGap),
            *std::min_element(totals.curveGap.begin(), totals.curveGap.end()), below);
    }
    if (!totals.uniformGap.empty()) {
        const auto [worst, most]
            = std::minmax_element(totals.uniformGap.begin(), totals.uniformGap.end());
        std::printf("%zu uniform cases: %d not flat; curve %+.3f dB from auto on average (%+.3f to "
                    "%+.3f)\n",
            totals.uniformGap.size(), totals.uniformBent, mean(totals.uniformGap), *worst, *most);
    }
    return 0;
}
