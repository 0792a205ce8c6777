#!/usr/bin/env python3
"""Writes the seed corpus of image_fuzzer: one tiny file per format and pixel layout that Pelta
reads, each a few hundred bytes.

Every encoder is written out here on the standard library alone, so remaking the files needs
nothing but Python; they are committed, and this script only remakes them:
    python3 fuzz/make_corpus.py [output directory, default fuzz/corpus]
"""
import math
import pathlib
import struct
import sys
import zlib


def pixel(x, y):
    """A deterministic RGB test pattern: gradients with a diagonal stripe."""
    stripe = 60 if (x + y) % 5 == 0 else 0
    return ((x * 37 + stripe) % 256, (y * 53 + 40) % 256, (x * y * 11 + 90 - stripe) % 256)


def luma(rgb):
    r, g, b = rgb
    return (r * 299 + g * 587 + b * 114) // 1000


# --- PNG -------------------------------------------------------------------------------------

def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(width, height, color_type, depth, rows, palette=None, transparency=None):
    """rows: the raw bytes of each row, without the filter byte (filter 0 is used)."""
    out = b"\x89PNG\r\n\x1a\n"
    out += png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, color_type, 0, 0, 0))
    if palette:
        out += png_chunk(b"PLTE", b"".join(bytes(c) for c in palette))
    if transparency:
        out += png_chunk(b"tRNS", bytes(transparency))
    out += png_chunk(b"IDAT", zlib.compress(b"".join(b"\0" + r for r in rows), 9))
    return out + png_chunk(b"IEND", b"")


def png_files():
    w, h = 12, 9
    rgb = [bytes(c for x in range(w) for c in pixel(x, y)) for y in range(h)]
    gray16 = [b"".join(struct.pack(">H", luma(pixel(x, y)) * 257 ^ x) for x in range(w))
              for y in range(h)]
    rgba64 = [b"".join(struct.pack(">HHHH", *(c * 257 ^ y for c in pixel(x, y)), 65535 - x * 4000)
                       for x in range(w)) for y in range(h)]
    # Straight alpha from opaque to fully transparent; Qt may hand it out premultiplied.
    rgba = [bytes(c for x in range(w) for c in (*pixel(x, y), 255 - (x * 23 + y * 7) % 256))
            for y in range(h)]
    palette = [(0, 0, 0), (255, 64, 0), (20, 200, 90), (250, 250, 250)]
    indexed = [bytes(((x // 3) + y) % 4 for x in range(w)) for y in range(h)]
    return {
        "rgb.png": png(w, h, 2, 8, rgb),
        "gray16.png": png(w, h, 0, 16, gray16),
        "rgba64.png": png(w, h, 6, 16, rgba64),
        "transparent.png": png(w, h, 6, 8, rgba),
        "indexed.png": png(w, h, 3, 8, indexed, palette, [255, 128, 0, 255]),
    }


# --- JPEG (baseline, Huffman tables made for the data) --------------------------------------

ZIGZAG = sorted(range(64), key=lambda i: (i // 8 + i % 8,
                                          (i % 8) if (i // 8 + i % 8) % 2 == 0 else (i // 8)))

LUMA_QUANT = [16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55,
              14, 13, 16, 24, 40, 57, 69, 56, 14, 17, 22, 29, 51, 87, 80, 62,
              18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
              49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99]
CHROMA_QUANT = [17, 18, 24, 47] + [99] * 4 + [18, 21, 26, 66] + [99] * 4 + [24, 26, 56] + \
    [99] * 5 + [47, 66] + [99] * 38


def fdct(block):
    """The 8 x 8 forward DCT of level-shifted samples, straight from its definition."""
    out = [0.0] * 64
    for v in range(8):
        for u in range(8):
            s = sum(block[y * 8 + x] * math.cos((2 * x + 1) * u * math.pi / 16)
                    * math.cos((2 * y + 1) * v * math.pi / 16) for y in range(8) for x in range(8))
            cu = math.sqrt(0.5) if u == 0 else 1.0
            cv = math.sqrt(0.5) if v == 0 else 1.0
            out[v * 8 + u] = 0.25 * cu * cv * s
    return out


def magnitude(value):
    """The size category of a coefficient and its bits (ones' complement for negatives)."""
    size = abs(value).bit_length()
    return size, (value if value >= 0 else value + (1 << size) - 1)


def block_symbols(coefficients, previous_dc):
    """(symbol, size, bits) for the DC difference and the run-length coded AC coefficients."""
    size, bits = magnitude(coefficients[0] - previous_dc)
    out = [("dc", size, size, bits)]
    run = 0
    for value in coefficients[1:]:
        if value == 0:
            run += 1
            continue
        while run > 15:
            out.append(("ac", 0xF0, 0, 0))
            run -= 16
        size, bits = magnitude(value)
        out.append(("ac", (run << 4) | size, size, bits))
        run = 0
    if run:
        out.append(("ac", 0x00, 0, 0))
    return out


def huffman_table(symbols):
    """Every symbol gets a code of one length, long enough that the all-ones code stays unused."""
    symbols = sorted(set(symbols))
    length = len(symbols).bit_length()
    counts = [0] * 16
    counts[length - 1] = len(symbols)
    codes = {s: (i, length) for i, s in enumerate(symbols)}
    return bytes(counts) + bytes(symbols), codes


class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.count = 0

    def put(self, value, length):
        for i in reversed(range(length)):
            self.acc = (self.acc << 1) | ((value >> i) & 1)
            self.count += 1
            if self.count == 8:
                self.out.append(self.acc)
                if self.acc == 0xFF:
                    self.out.append(0)
                self.acc = self.count = 0

    def finish(self):
        while self.count:
            self.put(1, 1)
        return bytes(self.out)


def segment(marker, data):
    return struct.pack(">BBH", 0xFF, marker, len(data) + 2) + data


def exif_orientation(orientation):
    """An APP1 Exif segment whose only tag is the orientation."""
    tiff = b"MM\0\x2a" + struct.pack(">IHHHIHH", 8, 1, 0x0112, 3, 1, orientation, 0) + b"\0" * 4
    return segment(0xE1, b"Exif\0\0" + tiff)


def jpeg(width, height, color, orientation=None):
    """Gray, or colour as YCbCr with 4:2:0 chroma. Edges are repeated to fill the last MCU."""
    def sample(x, y):
        rgb = pixel(min(x, width - 1), min(y, height - 1))
        if not color:
            return (luma(rgb),)
        r, g, b = rgb
        return (0.299 * r + 0.587 * g + 0.114 * b,
                128 - 0.168736 * r - 0.331264 * g + 0.5 * b,
                128 + 0.5 * r - 0.418688 * g - 0.081312 * b)

    # (component id, horizontal and vertical sampling, quant table)
    components = [(1, 2, 2, 0), (2, 1, 1, 1), (3, 1, 1, 1)] if color else [(1, 1, 1, 0)]
    mcu = 16 if color else 8
    tables = [LUMA_QUANT, CHROMA_QUANT]
    units = []  # (component index, quantised zigzag coefficients), in scan order
    for my in range(0, height, mcu):
        for mx in range(0, width, mcu):
            for index, (_, hs, vs, q) in enumerate(components):
                step = mcu // (8 * hs)  # 1 for full resolution, 2 for subsampled chroma
                for by in range(vs):
                    for bx in range(hs):
                        block = []
                        for y in range(8):
                            for x in range(8):
                                px, py = mx + (bx * 8 + x) * step, my + (by * 8 + y) * step
                                values = [sample(px + i, py + j)[index]
                                          for j in range(step) for i in range(step)]
                                block.append(sum(values) / len(values) - 128)
                        dct = fdct(block)
                        units.append((index, [round(dct[z] / tables[q][z]) for z in ZIGZAG]))

    previous = [0] * len(components)
    coded = []
    for index, coefficients in units:
        coded.append((index, block_symbols(coefficients, previous[index])))
        previous[index] = coefficients[0]
    # Huffman tables: luma and chroma, DC and AC, each over the symbols it has to code.
    table_of = [0 if i == 0 else 1 for i in range(len(components))]
    dht, codes = b"", {}
    for kind, class_bits in (("dc", 0x00), ("ac", 0x10)):
        for t in sorted(set(table_of)):
            symbols = [s for i, syms in coded if table_of[i] == t
                       for k, s, _, _ in syms if k == kind]
            table_bytes, codes[kind, t] = huffman_table(symbols)
            dht += bytes([class_bits | t]) + table_bytes
    bits = BitWriter()
    for index, syms in coded:
        for kind, symbol, size, value in syms:
            code, length = codes[kind, table_of[index]][symbol]
            bits.put(code, length)
            bits.put(value, size)

    out = b"\xff\xd8"
    out += segment(0xE0, b"JFIF\0\x01\x01\0\0\x01\0\x01\0\0")
    if orientation:
        out += exif_orientation(orientation)
    for t in sorted(set(table_of)):
        out += segment(0xDB, bytes([t]) + bytes(tables[t][z] for z in ZIGZAG))
    out += segment(0xC0, struct.pack(">BHHB", 8, height, width, len(components))
                   + b"".join(struct.pack(">BBB", c, (hs << 4) | vs, q)
                              for c, hs, vs, q in components))
    out += segment(0xC4, dht)
    out += segment(0xDA, bytes([len(components)])
                   + b"".join(bytes([c, (table_of[i] << 4) | table_of[i]])
                              for i, (c, _, _, _) in enumerate(components)) + b"\0\x3f\0")
    return out + bits.finish() + b"\xff\xd9"


# --- BMP, GIF, PNM, TIFF, SVG ----------------------------------------------------------------

def bmp(width, height):
    stride = (width * 3 + 3) & ~3
    rows = b"".join(
        bytes(c for x in range(width) for c in reversed(pixel(x, y))).ljust(stride, b"\0")
        for y in reversed(range(height)))  # bottom-up, blue first
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    header = struct.pack("<IHHI", 14 + len(info) + len(rows), 0, 0, 14 + len(info))
    return b"BM" + header + info + rows


def gif(width, height):
    """Four colours, the last one transparent. The LZW stream sends a clear code after every two
    pixels, so that the code size never grows: valid, if not compact."""
    palette = [(0, 0, 0), (255, 64, 0), (20, 200, 90), (250, 250, 250)]
    indices = [((x // 2) + y) % 4 for y in range(height) for x in range(width)]
    clear, end, size = 4, 5, 3
    acc = count = 0
    data = bytearray()

    def put(code):
        nonlocal acc, count
        acc |= code << count
        count += size
        while count >= 8:
            data.append(acc & 0xFF)
            acc >>= 8
            count -= 8

    for i in range(0, len(indices), 2):
        put(clear)
        for index in indices[i:i + 2]:
            put(index)
    put(end)
    if count:
        data.append(acc & 0xFF)
    blocks = b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255]
                      for i in range(0, len(data), 255))
    return (b"GIF89a" + struct.pack("<HHBBB", width, height, 0x81, 0, 0)
            + b"".join(bytes(c) for c in palette)
            + b"\x21\xf9\x04\x01\0\0\x03\0"  # graphic control: colour 3 is transparent
            + b"\x2c" + struct.pack("<HHHHB", 0, 0, width, height, 0)
            + b"\x02" + blocks + b"\0\x3b")


def pnm(width, height, kind):
    if kind == "P6":
        body = bytes(c for y in range(height) for x in range(width) for c in pixel(x, y))
        return b"P6\n%d %d\n255\n" % (width, height) + body
    if kind == "P5":
        body = bytes(luma(pixel(x, y)) for y in range(height) for x in range(width))
        return b"P5\n# gray\n%d %d\n255\n" % (width, height) + body
    # P4: one bit per pixel, rows padded to whole bytes, 1 = black.
    rows = b""
    for y in range(height):
        bits = [1 if (x * x + y * 3) % 7 < 3 else 0 for x in range(width)]
        bits += [0] * (-len(bits) % 8)
        rows += bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))
    return b"P4\n%d %d\n" % (width, height) + rows


def tiff_premultiplied(width, height):
    """Uncompressed RGBA whose extra sample is associated (premultiplied) alpha."""
    pixels = bytearray()
    for y in range(height):
        for x in range(width):
            alpha = 255 - (x * 40 + y * 25) % 256
            pixels += bytes(c * alpha // 255 for c in pixel(x, y)) + bytes([alpha])
    entries = [(256, 3, 1, width), (257, 3, 1, height), (258, 3, 4, None), (259, 3, 1, 1),
               (262, 3, 1, 2), (273, 4, 1, None), (277, 3, 1, 4), (278, 3, 1, height),
               (279, 4, 1, len(pixels)), (284, 3, 1, 1), (338, 3, 1, 1)]
    ifd_size = 2 + 12 * len(entries) + 4
    bits_offset = 8 + ifd_size
    data_offset = bits_offset + 8
    ifd = struct.pack("<H", len(entries))
    for tag, kind, count, value in entries:
        if tag == 258:
            value = bits_offset
        elif tag == 273:
            value = data_offset
        ifd += struct.pack("<HHII" if kind == 4 or tag == 258 else "<HHIHH", tag, kind, count,
                           *((value,) if kind == 4 or tag == 258 else (value, 0)))
    return b"II*\0" + struct.pack("<I", 8) + ifd + b"\0" * 4 + struct.pack("<4H", 8, 8, 8, 8) + \
        bytes(pixels)


SVG = b"""<svg xmlns="http://www.w3.org/2000/svg" width="24" height="16">
<rect width="24" height="16" fill="#3080c0"/><circle cx="8" cy="8" r="5" fill="#e0a020"
opacity="0.6"/><text x="12" y="12" font-size="9">P</text></svg>
"""


def main():
    default = pathlib.Path(__file__).parent / "corpus"
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else default
    out.mkdir(parents=True, exist_ok=True)
    files = png_files()
    files.update({
        "gray.jpg": jpeg(8, 8, False),
        "color-oriented.jpg": jpeg(20, 12, True, orientation=6),
        "rgb.bmp": bmp(7, 5),
        "transparent.gif": gif(9, 7),
        "rgb.ppm": pnm(6, 5, "P6"),
        "gray.pgm": pnm(9, 6, "P5"),
        "mono.pbm": pnm(13, 5, "P4"),
        "premultiplied.tif": tiff_premultiplied(5, 4),
        "text.svg": SVG,
    })
    for name, data in sorted(files.items()):
        (out / name).write_bytes(data)
        print(f"{name}: {len(data)} bytes")


if __name__ == "__main__":
    main()
