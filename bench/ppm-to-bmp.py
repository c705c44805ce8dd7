#!/usr/bin/env python3
"""Writes a binary PPM (P6, maxval 255) as an uncompressed 24-bit BMP."""
import struct
import sys

def read_ppm(path):
    data = open(path, 'rb').read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b'#':
            pos = data.index(b'\n', pos)
            continue
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[pos + 1:pos + 1 + 3 * width * height]

def main(src, dst):
    width, height, pixels = read_ppm(src)
    row = (3 * width + 3) & ~3
    out = bytearray(struct.pack('<2sIHHIIiiHHIIiiII', b'BM', 54 + row * height, 0, 0, 54, 40,
                                width, height, 1, 24, 0, row * height, 2835, 2835, 0, 0))
    for y in range(height - 1, -1, -1):
        line = bytearray(pixels[3 * width * y:3 * width * (y + 1)])
        line[0::3], line[2::3] = line[2::3], line[0::3]
        out += line + b'\0' * (row - 3 * width)
    open(dst, 'wb').write(out)

if __name__ == '__main__':
    main(sys.argv[1], sys.argv[2])
