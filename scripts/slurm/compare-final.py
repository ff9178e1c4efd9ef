#!/usr/bin/env python3
"""Compares two final view files by their decoded samples.

    compare-final.py A.qvl B.qvl

Exit 0 when both hold the same display size and the same samples (16-byte
codes, in any order), 1 otherwise. Says whether the bytes are equal too.
"""
import ctypes
import struct
import sys

blosc = ctypes.CDLL("libblosc.so.1")


def samples(path):
    data = open(path, "rb").read()
    if len(data) < 200 or data[:8] != b"\x82QVL=\n$\n":
        sys.exit(f"{path}: not a final view file")
    count, = struct.unpack_from("<I", data, 12)
    width, height = struct.unpack_from("<HH", data, 16)
    size, offset = struct.unpack_from("<II", data, 152)
    if offset + size > len(data) or size < 16:
        sys.exit(f"{path}: sample block out of the file")
    block = data[offset:offset + size]
    nbytes, cbytes, blocksize = ctypes.c_size_t(), ctypes.c_size_t(), ctypes.c_size_t()
    blosc.blosc_cbuffer_sizes(block, ctypes.byref(nbytes), ctypes.byref(cbytes), ctypes.byref(blocksize))
    if cbytes.value != size or nbytes.value != 16 * count:
        sys.exit(f"{path}: sample block of {nbytes.value} bytes for {count} samples")
    out = ctypes.create_string_buffer(nbytes.value)
    if blosc.blosc_decompress_ctx(block, out, ctypes.c_size_t(nbytes.value), 1) != nbytes.value:
        sys.exit(f"{path}: the sample block does not decompress")
    raw = out.raw
    return data, (width, height), sorted(raw[i:i + 16] for i in range(0, len(raw), 16))


a, b = sys.argv[1], sys.argv[2]
bytes_a, size_a, samples_a = samples(a)
bytes_b, size_b, samples_b = samples(b)
if size_a != size_b or samples_a != samples_b:
    print(f"{b}: {len(samples_b)} samples at {size_b}, {a}: {len(samples_a)} at {size_a}: they differ")
    sys.exit(1)
print(f"{b}: same {len(samples_a)} samples" + (", same bytes" if bytes_a == bytes_b else ", other bytes"))
