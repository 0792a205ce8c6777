// One image file through pelta-denoise: reading, the level, the run and the safe write, with the
// messages and exit statuses that both the one-file form and a batch report.
#pragma once

#include "core/noise_transform.h"
#include "core/plane_run.h"
#include "image/image_io.h"

#include <QImage>
#include <QImageReader>
#include <QString>

#include <mutex>
#include <optional>

// Exit statuses, as the manual page lists them. A batch exits with the highest of its files'.
enum Exit {
    Success = 0,
    BadUsage = 1,
    UnreadableInput = 2,
    UnsupportedColorModel = 3,
    UnwritableOutput = 4,
    NotEnoughMemory = 5,
};

// Standard error, shared by every thread of the tool: whole lines, and at most one progress line
// that is redrawn in place and ended before any other line. Every call takes the lock.
class Console
{
public:
    explicit Console(bool showsProgress)
        : showsProgress_(showsProgress)
    { }

    bool showsProgress() const { return showsProgress_; }
    // Draws the progress line in place of the one on screen; nothing unless showsProgress().
    void progress(const QString &text);
    // Prints the line, after ending an open progress line.
    void line(const QString &text);
    // A failure: the line after "pelta-denoise: ".
    void failure(const QString &text) { line(QStringLiteral("pelta-denoise: ") + text); }
    // Ends an open progress line.
    void end();

private:
    void endLocked();

    std::mutex mutex_;
    const bool showsProgress_;
    int drawn_ = 0; // characters of the open progress line, 0 when none is open
};

// "[###   ]": `filled` of `width` cells.
QString barText(int filled, int width);

// What every file is denoised with.
struct FileSettings
{
    int level = 0; // 1..99, or 0 to estimate each file's level
    bool uniformNoise = false; // an estimated level is for noise the same at every brightness
    bool quiet = false; // only failures are printed
    bool stripMetadata = false; // no EXIF, IPTC, XMP or texts go from an input to its output
    RunOptions options;
    ImageWriteOptions write; // quality and texts; each file adds its own metadata
};

// One input and the file its result goes to. `label` prefixes the estimated level's line (a
// batch names the file there); empty in the one-file form. Without replaceExisting the output is
// committed only if no file of its name exists then. With quietAboutMemory a failure for memory
// returns NotEnoughMemory without a line, so that the caller may try the file again.
struct FileJob
{
    QString input;
    QString output;
    QString label;
    bool replaceExisting = true;
    bool quietAboutMemory = false;
};

// A file read: its image, the level to denoise it at (0: written unchanged), the noise model's
// transform when the estimate found noise that changes with brightness, and how its output is
// written.
struct LoadedInput
{
    QImage image;
    int level = 0;
    std::optional<StabilisingTransform> noiseModel;
    ImageWriteOptions write;
};

// Reads the input through `reader` (set up on job.input's opened file) into *input with the
// level, the given one or the estimate, which it prints unless quiet (0 where the estimate
// measured no noise: the image is written unchanged); where the estimate measured noise and the
// noise curve is not flat (unless settings.uniformNoise), the curve's model and its level, with
// the noise in the shadows and the highlights added to the line; and the write options: the
// settings' own with the file's metadata (unless stripped). An image whose colours the output's
// format cannot hold (pbm, or pgm for colour) fails with UnwritableOutput. Returns Success, or the
// failure's status after printing its line.
int loadInput(const FileJob &job, QImageReader &reader, const FileSettings &settings,
    Console &console, LoadedInput *input);

// Prints that memory ran short for the job's input; returns NotEnoughMemory.
int notEnoughMemory(const FileJob &job, Console &console);

// Denoises the input's image with the options (at level 0 leaves it as it is) and writes it to
// the job's output by the safe save. Returns Success, the failure's status after printing its
// line, or interruptedStatus() when an interrupt stopped the run (nothing written).
int denoiseAndWrite(
    const FileJob &job, LoadedInput &input, const RunOptions &options, Console &console);
