#!/usr/bin/env python3
"""Makes data/sample.png: the "Colorful Cups" photograph, scaled down, with seeded Gaussian noise.

Needs python3 with numpy and OpenCV (Debian: python3-numpy python3-opencv) and the photograph
from Debian's plasma-workspace-wallpapers. The result is committed; run this only to remake it.
"""
import argparse
import pathlib

import cv2
import numpy as np

SOURCE = "/usr/share/wallpapers/ColorfulCups/contents/images/2560x1600.jpg"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--source", default=SOURCE)
    parser.add_argument("--output", default=str(pathlib.Path(__file__).with_name("sample.png")))
    parser.add_argument("--width", type=int, default=640)
    parser.add_argument("--height", type=int, default=400)
    parser.add_argument("--sigma", type=float, default=15.0, help="noise level on the 0..255 scale")
    parser.add_argument("--seed", type=int, default=2)
    args = parser.parse_args()

    photo = cv2.imread(args.source, cv2.IMREAD_COLOR)
    if photo is None:
        raise SystemExit(f"cannot read {args.source}")
    # Area averaging also removes most of the JPEG's own blocking, so the noise is ours alone.
    clean = cv2.resize(photo, (args.width, args.height), interpolation=cv2.INTER_AREA)
    rng = np.random.default_rng(args.seed)
    noisy = clean.astype(np.float64) + rng.normal(0.0, args.sigma, clean.shape)
    noisy = np.clip(np.rint(noisy), 0, 255).astype(np.uint8)
    if not cv2.imwrite(args.output, noisy, [cv2.IMWRITE_PNG_COMPRESSION, 9]):
        raise SystemExit(f"cannot write {args.output}")

    mse = np.mean((noisy.astype(np.float64) - clean) ** 2)
    psnr = 10 * np.log10(255.0**2 / mse)
    size = pathlib.Path(args.output).stat().st_size
    print(f"{args.output}: {args.width}x{args.height}, sigma {args.sigma}, "
          f"PSNR {psnr:.2f} dB against the clean scale, {size} bytes")


if __name__ == "__main__":
    main()
