#!/usr/bin/python3
"""Pelta against OpenCV's non-local means on noisy photographs, each timed as a whole process.

Crops of two photographs from plasma-workspace-wallpapers (installed when missing) get seeded
Gaussian noise of standard deviation 30 (or of each level given with --levels). `pelta-denoise
--sigma LEVEL` and a small OpenCV program
(this script's `opencv` command: fastNlMeansDenoisingColored, or fastNlMeansDenoising for gray,
template window 7, search window 21) then each read the noisy PNG and write their result as PNG.
The table gives the median wall time of a few runs of each (the programs take turns, so that all
see the same load of a shared machine), their ratio, and the PSNR of each result against the clean
crop; the load average before and after is printed with it. OpenCV's time is its program's less
Python's start-up (the interpreter and the import of OpenCV, this script's `startup` command,
timed in the same turns), so that the ratio compares the two denoisers as programs of their own.

Run with the system Python, which has numpy and OpenCV (python3-opencv):
    /usr/bin/python3 bench/compare.py [--pelta build/release/tools/pelta-denoise] [--runs 3]
        [--levels 10 30 50]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

# OpenCV's filter strengths for noise of std 30: the best PSNR of h, hColor in 10..30 (steps of 5)
# on 512 x 512 crops of two other photographs of the same collection (OneStandsOut, Path); for
# other noise levels they are scaled with the level. Its time does not depend on them.
OPENCV_H_PER_LEVEL = 25 / 30
WALLPAPERS = "/usr/share/wallpapers"
# (photograph, colour or gray, crop width, crop height, noise seed)
CASES = [
    ("EveningGlow", "colour", 512, 512, 1),
    ("EveningGlow", "colour", 2048, 1536, 2),
    ("Grey", "gray", 512, 512, 3),
    ("Grey", "gray", 2048, 1536, 4),
]


def opencv_main(argv):
    import cv2

    mode, level, source, target = argv
    h = OPENCV_H_PER_LEVEL * float(level)
    if mode == "gray":
        noisy = cv2.imread(source, cv2.IMREAD_GRAYSCALE)
        result = cv2.fastNlMeansDenoising(noisy, None, h, 7, 21)
    else:
        noisy = cv2.imread(source, cv2.IMREAD_COLOR)
        result = cv2.fastNlMeansDenoisingColored(noisy, None, h, h, 7, 21)
    if not cv2.imwrite(target, result):
        sys.exit("cannot write " + target)


def startup_main():
    import cv2  # noqa: F401  (the import is what is timed)


def ensure_wallpapers():
    if all(os.path.isdir(os.path.join(WALLPAPERS, name)) for name, *_ in CASES):
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(sudo + ["apt-get", "update", "-qq"], check=True, env=env)
    subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends",
                           "plasma-workspace-wallpapers"], check=True, env=env)


def photograph(name):
    folder = os.path.join(WALLPAPERS, name, "contents", "images")
    sizes = [f for f in os.listdir(folder) if f.endswith((".jpg", ".png"))]

    def area(file_name):
        w, h = file_name.split(".")[0].split("x")
        return int(w) * int(h)

    return os.path.join(folder, max(sizes, key=area))


def psnr(clean, test):
    import numpy as np

    mse = np.mean((clean.astype(np.float64) - test.astype(np.float64)) ** 2)
    return 10.0 * np.log10(255.0 ** 2 / mse)


def timed_side_by_side(commands, runs):
    """Median wall time of each command; the commands take turns, so that both see the same load
    of a shared machine."""
    times = [[] for _ in commands]
    for _ in range(runs):
        for command, spent in zip(commands, times):
            start = time.perf_counter()
            subprocess.run(command, check=True)
            spent.append(time.perf_counter() - start)
    return [statistics.median(spent) for spent in times]


def main():
    import cv2
    import numpy as np

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pelta", default=os.path.join(root, "build/release/tools/pelta-denoise"))
    parser.add_argument("--runs", type=int, default=3, help="runs per program and case (median)")
    parser.add_argument("--levels", type=int, nargs="+", default=[30],
                        help="noise standard deviations, each denoised at that level")
    args = parser.parse_args()
    if not os.access(args.pelta, os.X_OK):
        sys.exit(args.pelta + " is not built")
    ensure_wallpapers()

    print(f"pelta-denoise --sigma LEVEL on noise of std LEVEL; OpenCV {cv2.__version__} "
          f"h = hColor = {OPENCV_H_PER_LEVEL:.3f} LEVEL, template 7, search 21; "
          f"median of {args.runs} runs; {os.cpu_count()} CPUs; load average "
          f"{' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    header = (f"{'image':<30}{'level':>6}{'noisy dB':>9}{'pelta dB':>9}{'opencv dB':>10}"
              f"{'pelta s':>9}{'opencv s':>9}{'ratio':>7}")
    print(header)
    print("-" * len(header))
    with tempfile.TemporaryDirectory() as work:
        for (name, mode, width, height, seed), level in (
                (case, level) for case in CASES for level in args.levels):
            flag = cv2.IMREAD_GRAYSCALE if mode == "gray" else cv2.IMREAD_COLOR
            full = cv2.imread(photograph(name), flag)
            top = (full.shape[0] - height) // 2
            left = (full.shape[1] - width) // 2
            clean = full[top:top + height, left:left + width]
            noise = np.random.default_rng(seed).normal(0.0, level, clean.shape)
            noisy = np.clip(np.rint(clean + noise), 0, 255).astype(np.uint8)
            noisy_file = os.path.join(work, "noisy.png")
            pelta_file = os.path.join(work, "pelta.png")
            opencv_file = os.path.join(work, "opencv.png")
            cv2.imwrite(noisy_file, noisy)

            pelta_time, opencv_run, startup = timed_side_by_side(
                [[args.pelta, "--sigma", str(level), "--seed", str(seed), "-q", noisy_file,
                  pelta_file],
                 [sys.executable, os.path.abspath(__file__), "opencv", mode, str(level),
                  noisy_file, opencv_file],
                 [sys.executable, os.path.abspath(__file__), "startup"]], args.runs)
            opencv_time = opencv_run - startup
            pelta_psnr = psnr(clean, cv2.imread(pelta_file, flag))
            opencv_psnr = psnr(clean, cv2.imread(opencv_file, flag))
            label = f"{name} {mode} {width}x{height}"
            print(f"{label:<30}{level:>6}{psnr(clean, noisy):>9.2f}{pelta_psnr:>9.2f}"
                  f"{opencv_psnr:>10.2f}{pelta_time:>9.2f}{opencv_time:>9.2f}"
                  f"{pelta_time / opencv_time:>7.2f}", flush=True)
    print("opencv s: the OpenCV program's time less Python's start-up (the interpreter and the "
          "import of OpenCV)")
    print(f"load average after: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "opencv":
        opencv_main(sys.argv[2:])
    elif len(sys.argv) > 1 and sys.argv[1] == "startup":
        startup_main()
    else:
        main()
