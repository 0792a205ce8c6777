// The denoising run on planes: memory check, working set, stages, chunks and normalisation.
#include "plane_run.h"

#include "denoise_params.h"
#include "jump_plane.h"
#include "row_worker.h"
#include "run_observer.h"
#include "run_stages.h"
#include "run_threads.h"
#include "sample_tables.h"
#include "staged_progress.h"
#include "system_memory.h"

#include <algorithm>
#include <memory>
#include <new>
#include <type_traits>

int runThreads(const RunOptions &options)
{
    return options.threads > 0 ? options.threads : hardwareThreads();
}

std::int64_t runWorkingSetBytes(int width, int height, bool color, bool buildsTable, int threads)
{
    const std::int64_t cells = std::int64_t(width) * height;
    const std::size_t cellSize = color ? sizeof(Vec3) : sizeof(float);
    // The direction planes and the jump test's narrow copy of the smoothed plane all along; at
    // first the smoothed plane of the cell type, later instead the sums of the cell type and the
    // counts.
    const std::int64_t jumpBytes = (std::int64_t(width) + 1) * (std::int64_t(height) + 1)
        * std::int64_t(color ? sizeof(JumpPlane<Vec3>::Word) : sizeof(JumpPlane<float>::Word));
    std::int64_t bytes
        = jumpBytes + cells * (std::int64_t(cellSize) + 3 * std::int64_t(sizeof(float)));
    if (buildsTable)
        bytes += std::int64_t(kNormalTableSize) * std::int64_t(sizeof(float));
    const int widestRadius = (color ? colorParams(0, 1, 1) : grayParams(0, 1, 1)).patchRadius;
    // A run starts no more threads than the image has rows.
    const int running = std::min(threads, std::max(height, 1));
    return bytes + sharedRowBytes(width, widestRadius, running, cellSize);
}

namespace {

// Where each stage ends on the run's scale of 0 to 100, after the time each took on a colour
// photograph at level 20 (6 megapixels, 2 threads: pre-smoothing 0.6 s, directions 1.3 s, the
// workers 52 s, normalising 0.1 s); the narrow copy for the edge test, a pass of plain copies,
// gets one step and normalising takes the rest. Every stage keeps at least one step, so that the
// bar moves in each.
constexpr int kSmoothedAt = 1;
constexpr int kDirectedAt = 4;
constexpr int kCopiedAt = 5;
constexpr int kEstimatedAt = 99;

DenoiseParams paramsFor(const GrayPlane &, int level, int width, int height)
{
    return grayParams(level, width, height);
}

DenoiseParams paramsFor(const ColorPlane &, int level, int width, int height)
{
    return colorParams(level, width, height);
}

// Everything up to the normalised estimates; the working set lives only inside this call.
template<typename Cell>
RunStatus computeEstimates(const Plane<Cell> &source, const DenoiseParams &params, int threads,
    const RunOptions &options, Plane<Cell> &accum)
{
    const int width = source.width();
    const int height = source.height();

    // Zeroed planes; large ones are fresh pages (see page_memory.h) that the stages below touch
    // first, slice by slice on the threads that use them.
    Plane<Cell> smooth(width, height);
    GrayPlane dirX(width, height);
    GrayPlane dirY(width, height);
    JumpPlane<Cell> jump(width, height);
    std::unique_ptr<NormalTable> ownTable;
    if (!options.table)
        ownTable = std::make_unique<NormalTable>();
    const NormalTable &table = options.table ? *options.table : *ownTable;

    // Every direction row reads the smoothed rows next to it, so smoothing ends on every band
    // before any direction is computed, and the directions are complete before any worker
    // starts.
    StagedProgress staged(options.observer);
    const auto stage = [&](int from, int to, const RowWork &work) {
        return runRowStage(height, threads, work, staged.stage(from, to));
    };
    RunStatus status = stage(0, kSmoothedAt, [&](ThreadControl &control, int rowBegin, int rowEnd) {
        return presmoothRows(source, smooth, rowBegin, rowEnd, control);
    });
    if (status == RunStatus::Done)
        status = stage(
            kSmoothedAt, kDirectedAt, [&](ThreadControl &control, int rowBegin, int rowEnd) {
                return fillDirectionRows(smooth, dirX, dirY, rowBegin, rowEnd, options.originX,
                    options.originY, control);
            });
    if (status == RunStatus::Done)
        status
            = stage(kDirectedAt, kCopiedAt, [&](ThreadControl &control, int rowBegin, int rowEnd) {
                  return jump.fillRows(smooth, rowBegin, rowEnd, control);
              });
    if (status != RunStatus::Done)
        return status;
    // From here on only the narrow copy is read: the sums and counts take the smoothed plane's
    // memory.
    smooth = Plane<Cell>();
    accum = Plane<Cell>(width, height);
    GrayPlane count(width, height);

    const RowInputs<Cell> inputs {
        source, jump, dirX, dirY, table, params, options.originX, options.originY};
    const ChunkWork<Cell> work
        = [&](ThreadControl &control, int rowBegin, int rowEnd, const ChunkSink<Cell> &sink) {
              return denoiseRows(inputs, control, rowBegin, rowEnd, sink);
          };
    status = runChunks(threads, params.patchRadius, options.originX, options.originY, accum, count,
        work, staged.stage(kCopiedAt, kEstimatedAt), options.hooks);
    if (status != RunStatus::Done)
        return status;
    return stage(kEstimatedAt, 100, [&](ThreadControl &control, int rowBegin, int rowEnd) {
        return normaliseRows(accum, count, source, rowBegin, rowEnd, control);
    });
}

template<typename Cell>
RunStatus denoise(
    const Plane<Cell> &source, int level, Plane<Cell> &result, const RunOptions &options)
{
    constexpr bool color = std::is_same_v<Cell, Vec3>;
    result = Plane<Cell>();
    if (level < 1)
        return RunStatus::InvalidLevel;
    const int width = source.width();
    const int height = source.height();
    if (width < 1 || height < 1)
        return RunStatus::Done;

    const DenoiseParams params = paramsFor(source, level, width, height);
    // No stage or chunk has work for more threads than there are rows; under an address-space
    // limit (ulimit -v) a run starts no more than their stacks leave room for. Any count gives
    // the same result.
    int threads = std::min(runThreads(options), height);
    Plane<Cell> estimates;
    try {
        const std::int64_t needed
            = runWorkingSetBytes(width, height, color, !options.table, threads)
            + options.callerBytes;
        const std::int64_t limit
            = options.memoryLimit >= 0 ? options.memoryLimit : availableMemoryBytes();
        if (limit >= 0 && needed > limit)
            return RunStatus::OutOfMemory;
        const std::int64_t addressRoom = options.memoryLimit >= 0 ? -1 : addressSpaceRoomBytes();
        if (addressRoom >= 0)
            threads = int(std::clamp<std::int64_t>(
                1 + (addressRoom - needed) / kThreadStackBytes, 1, threads));

        const RunStatus status = computeEstimates(source, params, threads, options, estimates);
        if (status != RunStatus::Done)
            return status;
    } catch (const std::bad_alloc &) {
        return RunStatus::OutOfMemory;
    }

    if (options.observer) {
        options.observer->progress(100);
        if (options.observer->cancelRequested())
            return RunStatus::Cancelled;
    }
    result = std::move(estimates);
    return RunStatus::Done;
}

} // namespace

RunStatus denoiseGray(
    const GrayPlane &source, int level, GrayPlane &result, const RunOptions &options)
{
    return denoise(source, level, result, options);
}

RunStatus denoiseColor(
    const ColorPlane &source, int level, ColorPlane &result, const RunOptions &options)
{
    return denoise(source, level, result, options);
}
