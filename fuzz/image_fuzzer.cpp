// libFuzzer target: arbitrary bytes through image reading and, when they decode, a small denoise.
#include "core/sample_tables.h"
#include "image/image_denoise.h"
#include "image/image_io.h"

#include <QBuffer>
#include <QByteArray>
#include <QGuiApplication>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Reading may take 16 MB decoded and displayed (two million pixels): a header that declares
// more is refused unread, as the window refuses what exceeds the memory it has.
constexpr std::int64_t kReadLimitBytes = std::int64_t(16) << 20;
// A 32 x 32 run needs well under a megabyte besides the shared table.
constexpr std::int64_t kRunLimitBytes = std::int64_t(64) << 20;
constexpr int kMaxSide = 32;
constexpr int kLowestLevel = 10;
constexpr unsigned kTableSeed = 4242u;

const NormalTable *sharedTable = nullptr;

// Ends the run as a crash, so that libFuzzer keeps the input that broke a promise.
void require(bool holds, const char *promise)
{
    if (holds)
        return;
    std::fprintf(stderr, "image_fuzzer: broken promise: %s\n", promise);
    std::abort();
}

// Every byte counts, so that any mutation can move the level; formats whose first and last
// bytes are fixed would otherwise pin it.
int levelOf(const std::uint8_t *data, std::size_t size)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i)
        sum += data[i];
    return kLowestLevel + int(sum % unsigned(100 - kLowestLevel));
}

void denoiseCrop(const QImage &image, int level)
{
    QImage crop
        = image.copy(0, 0, std::min(image.width(), kMaxSide), std::min(image.height(), kMaxSide));
    if (crop.isNull())
        return;
    const QImage before = crop.copy();
    const uchar *bits = crop.constBits();

    RunOptions options;
    options.threads = 1;
    options.table = sharedTable;
    options.memoryLimit = kRunLimitBytes;
    const RunStatus status = denoiseQImage(crop, {level, options});

    if (denoisePathOf(before.format()) == DenoisePath::Unsupported) {
        require(status == RunStatus::UnsupportedColorModel, "refused colour model");
        require(crop.constBits() == bits, "a refused image keeps its pixels");
        return;
    }
    require(status == RunStatus::Done, "a small crop is denoised");
    require(crop.size() == before.size() && crop.format() == before.format(),
        "the result keeps size and format");
    for (int y = 0; y < crop.height(); ++y) {
        for (int x = 0; x < crop.width(); ++x) {
            require(
                crop.pixelColor(x, y).rgba64().alpha() == before.pixelColor(x, y).rgba64().alpha(),
                "every pixel keeps its alpha");
        }
    }
}

// Decoders warn about every flaw of a mangled file; only errors are worth the fuzzer's time.
void errorsOnly(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qUtf8Printable(message));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Some plug-ins need a GUI application to decode (SVG lays out text); none is ever shown.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(errorsOnly);
    // Qt keeps pointers to argc and argv; libFuzzer's own flags are no business of Qt's.
    static int argc = 1;
    static char name[] = "image_fuzzer";
    static char *argv[] = {name, nullptr};
    // Never destroyed: the application and the table live as long as the process.
    new QGuiApplication(argc, argv);
    sharedTable = new NormalTable(kTableSeed);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return 0;
    const ImageReadResult read = readImage(&buffer, kReadLimitBytes);
    // The window shows errorText to the user: a failure must say something.
    require(read.image.isNull() != read.errorText.isEmpty(), "an image or a reason, not both");
    if (!read.image.isNull())
        denoiseCrop(read.image, levelOf(data, size));
    return 0;
}
