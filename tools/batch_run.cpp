// The work on each file of a batch on its lane, the memory check that lets it run beside others,
// and the progress line.
#include "tools/batch_run.h"

#include "core/system_memory.h"
#include "image/file_safety.h"
#include "image/image_denoise.h"
#include "tools/interrupt.h"
#include "tools/lane_scheduler.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// The batch's progress line: the earliest file still running, its place in the batch and its
// run's percentage, "12/200 IMG_0042.jpg [######      ] 47%". Lanes report from their threads.
class BatchProgress
{
public:
    BatchProgress(Console &console, int files, int lanes)
        : console_(console)
        , files_(files)
        , running_(std::size_t(lanes), Running {files, 0})
    { }

    void report(int lane, int item, const QString &name, int percent)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_[std::size_t(lane)] = {item, percent};
        const auto earliest = std::min_element(running_.begin(), running_.end(),
            [](const Running &a, const Running &b) { return a.item < b.item; });
        if (earliest->item != item)
            return;
        // The bar rounds to the nearest of its 12 cells.
        constexpr int kWidth = 12;
        console_.progress(QStringLiteral("%1/%2 %3 %4 %5%")
                              .arg(item + 1)
                              .arg(files_)
                              .arg(name, barText((percent * kWidth + 50) / 100, kWidth))
                              .arg(percent));
    }

    // The lane has no file running.
    void idle(int lane)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_[std::size_t(lane)] = {files_, 0};
    }

private:
    struct Running
    {
        int item; // files_ when the lane is idle
        int percent;
    };

    std::mutex mutex_;
    Console &console_;
    const int files_;
    std::vector<Running> running_;
};

// One lane's observer: the progress of the file it runs.
class LaneObserver : public InterruptibleObserver
{
public:
    LaneObserver(BatchProgress &progress, int lane)
        : progress_(progress)
        , lane_(lane)
    { }

    void start(int item, const QString &input)
    {
        item_ = item;
        name_ = QFileInfo(input).fileName();
        progress(0);
    }
    void progress(int percent) override { progress_.report(lane_, item_, name_, percent); }

private:
    BatchProgress &progress_;
    const int lane_;
    int item_ = 0;
    QString name_;
};

class Batch
{
public:
    Batch(const std::vector<BatchItem> &items, const FileSettings &settings, Console &console)
        : items_(items)
        , settings_(settings)
        , console_(console)
        , plan_(planLanes(runThreads(settings.options), int(items.size())))
        , progress_(console, int(items.size()), plan_.lanes)
    { }

    int run()
    {
        const int worst = runOnLanes(
            int(items_.size()), plan_, [this](LaneTry &lane) { return runItem(lane); },
            [] { return caughtInterrupt() != 0; });
        console_.end();
        return caughtInterrupt() != 0 ? interruptedStatus() : worst;
    }

private:
    // One try at a file; the lanes try one refused for memory beside others again alone.
    int runItem(LaneTry &lane)
    {
        const BatchItem &item = items_[std::size_t(lane.file())];
        int status = item.refusal;
        if (status != 0) {
            console_.failure(item.failure);
        } else if (!QDir().mkpath(QFileInfo(item.output).path())) {
            console_.failure(
                QStringLiteral("cannot write %1: the folder cannot be made").arg(item.output));
            status = UnwritableOutput;
        } else {
            status = attempt(item, lane);
        }
        progress_.idle(lane.lane());
        return status;
    }

    // One try at the file. It is read, denoised and written beside the others on its lane's
    // share of the threads when every lane could hold an image of its size at once, else (or
    // when told) alone on all of them, with nothing else in memory. A lane's thread must not
    // end in an exception: memory that runs short outside the run (decoding, encoding) fails
    // the file, or asks for another try alone.
    int attempt(const BatchItem &item, LaneTry &lane)
    {
        FileJob job {item.input, item.output, item.input + QStringLiteral(": "), item.replace};
        bool beside = false;
        try {
            const OpenedFile opened = openRegularFile(item.input);
            if (!opened.file) {
                console_.failure(
                    QStringLiteral("cannot read %1: %2").arg(item.input, opened.errorText));
                return UnreadableInput;
            }
            QImageReader reader(opened.file.get());
            RunOptions options = settings_.options;
            beside = lane.mayRunBeside() && fitsBesideOthers(reader.size());
            job.quietAboutMemory = beside;
            options.threads = lane.enter(beside);
            LoadedInput input;
            int status = loadInput(job, reader, settings_, console_, &input);
            LaneObserver observer(progress_, lane.lane());
            if (status == Success) {
                observer.start(lane.file(), item.input);
                options.observer = &observer;
                status = denoiseAndWrite(job, input, options, console_);
            }
            return beside && status == NotEnoughMemory ? kRetryAlone : status;
        } catch (const std::bad_alloc &) {
            return beside ? kRetryAlone : notEnoughMemory(job, console_);
        }
    }

    // True when every lane could read and denoise an image of this declared size at once within
    // the memory available now: planned as the largest image of that size (colour at eight
    // bytes a pixel), with the decoded image held beside the denoise's own bytes. An image whose
    // size the file does not declare runs alone.
    bool fitsBesideOthers(const QSize &size) const
    {
        if (size.isEmpty())
            return false;
        const std::int64_t limit = settings_.options.memoryLimit >= 0
            ? settings_.options.memoryLimit
            : availableMemoryBytes();
        if (limit < 0)
            return true;
        // The level does not change the bytes; any valid one lets the plan check them.
        DenoiseRequest request {1, settings_.options};
        request.options.threads = plan_.besideThreads();
        request.options.memoryLimit = limit / plan_.lanes;
        request.options.callerBytes = std::int64_t(size.width()) * size.height() * 8;
        return planDenoise(size, QImage::Format_RGBA64, request).status == RunStatus::Done;
    }

    const std::vector<BatchItem> &items_;
    const FileSettings &settings_;
    Console &console_;
    const LanePlan plan_;
    BatchProgress progress_;
};

} // namespace

int runBatch(const std::vector<BatchItem> &items, const FileSettings &settings, Console &console)
{
    return Batch(items, settings, console).run();
}
