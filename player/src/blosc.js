// Blosc 1.x frames as the merger writes them: LZ4 (or LZ4HC, the same
// format) blocks, optionally byte-shuffled, or stored as a plain copy.
// Every count and offset in the frame is checked before use, so a damaged
// frame is refused with a message instead of reading past its end.

const HEADER = 16;
const DOSHUFFLE = 0x1;
const MEMCPYED = 0x2;
const DOBITSHUFFLE = 0x4;
const DONT_SPLIT = 0x10;
const MAX_SPLITS = 16;
const MIN_BUFFERSIZE = 128;
const LZ4_FORMAT = 1;
const FORMAT_NAMES = ['blosclz', 'lz4', 'snappy', 'zlib', 'zstd'];

export class BloscError extends Error {}

function u32(b, o) {
  return (b[o] | (b[o + 1] << 8) | (b[o + 2] << 16) | (b[o + 3] << 24)) >>> 0;
}

// Sizes stored in a frame's header, without decompressing.
export function bloscSizes(frame) {
  if (frame.length < HEADER) throw new BloscError(`frame of ${frame.length} bytes is shorter than its 16-byte header`);
  return {
    version: frame[0],
    versionLz: frame[1],
    flags: frame[2],
    typeSize: frame[3],
    nbytes: u32(frame, 4),
    blockSize: u32(frame, 8),
    cbytes: u32(frame, 12),
  };
}

// One LZ4 block from src[start, end) into dst[at, at + size); returns the
// number of bytes written, which must be exactly `size`.
export function lz4DecodeBlock(src, start, end, dst, at, size) {
  let s = start;
  let d = at;
  const dEnd = at + size;
  while (s < end) {
    const token = src[s++];
    let literals = token >>> 4;
    if (literals === 15) {
      let b;
      do {
        if (s >= end) throw new BloscError('lz4: literal length runs past the block');
        b = src[s++];
        literals += b;
      } while (b === 255);
    }
    if (literals > end - s) throw new BloscError('lz4: literals run past the block');
    if (literals > dEnd - d) throw new BloscError('lz4: literals overflow the output');
    dst.set(src.subarray(s, s + literals), d);
    s += literals;
    d += literals;
    if (s >= end) break; // the last sequence has literals only
    if (end - s < 2) throw new BloscError('lz4: truncated match offset');
    const offset = src[s] | (src[s + 1] << 8);
    s += 2;
    if (offset === 0 || offset > d - at) throw new BloscError('lz4: match offset before the start of the output');
    let length = token & 15;
    if (length === 15) {
      let b;
      do {
        if (s >= end) throw new BloscError('lz4: match length runs past the block');
        b = src[s++];
        length += b;
      } while (b === 255);
    }
    length += 4;
    if (length > dEnd - d) throw new BloscError('lz4: match overflows the output');
    let from = d - offset;
    if (offset >= length) {
      dst.copyWithin(d, from, from + length);
      d += length;
    } else {
      // Overlapping match: repeats the last `offset` bytes.
      for (let i = 0; i < length; ++i) dst[d++] = dst[from++];
    }
  }
  return d - at;
}

function unshuffle(typeSize, size, src, dst, at) {
  const count = Math.floor(size / typeSize);
  for (let j = 0; j < typeSize; ++j) {
    const base = j * count;
    for (let i = 0; i < count; ++i) dst[at + i * typeSize + j] = src[base + i];
  }
  const rest = count * typeSize;
  dst.set(src.subarray(rest, size), at + rest);
}

// Decompresses a whole frame. `frame` must hold exactly the frame's bytes;
// `expected`, when given, is the size the caller needs.
export function bloscDecompress(frame, expected) {
  const h = bloscSizes(frame);
  if (h.cbytes !== frame.length)
    throw new BloscError(`frame says ${h.cbytes} compressed bytes, its section holds ${frame.length}`);
  if (expected !== undefined && h.nbytes !== expected)
    throw new BloscError(`frame expands to ${h.nbytes} bytes, expected ${expected}`);
  const out = new Uint8Array(h.nbytes);
  if (h.nbytes === 0) return out;
  if (h.flags & MEMCPYED) {
    if (h.cbytes - HEADER !== h.nbytes) throw new BloscError('stored frame size does not match its contents');
    out.set(frame.subarray(HEADER));
    return out;
  }
  if (h.flags & DOBITSHUFFLE) throw new BloscError('bit-shuffled frames are not supported');
  const format = h.flags >>> 5;
  if (format !== LZ4_FORMAT)
    throw new BloscError(`compressor ${FORMAT_NAMES[format] ?? format} is not supported (only lz4)`);
  if (h.typeSize < 1) throw new BloscError('type size 0');
  if (h.blockSize < 1 || h.blockSize > h.nbytes)
    throw new BloscError(`block size ${h.blockSize} does not fit ${h.nbytes} bytes`);
  const blocks = Math.ceil(h.nbytes / h.blockSize);
  if (HEADER + 4 * blocks > frame.length) throw new BloscError('block table runs past the frame');
  const shuffle = (h.flags & DOSHUFFLE) !== 0 && h.typeSize > 1;
  const dontSplit = (h.flags & DONT_SPLIT) !== 0;
  const tmp = new Uint8Array(h.blockSize);
  for (let b = 0; b < blocks; ++b) {
    const at = b * h.blockSize;
    const size = Math.min(h.blockSize, h.nbytes - at);
    const leftover = size < h.blockSize;
    const splits =
      !dontSplit && h.typeSize <= MAX_SPLITS && size / h.typeSize >= MIN_BUFFERSIZE && !leftover ? h.typeSize : 1;
    const splitSize = Math.floor(size / splits);
    let s = u32(frame, HEADER + 4 * b);
    if (s < HEADER + 4 * blocks || s > frame.length) throw new BloscError(`block ${b} starts outside the frame`);
    const target = shuffle ? tmp : out;
    const base = shuffle ? 0 : at;
    for (let k = 0; k < splits; ++k) {
      if (frame.length - s < 4) throw new BloscError(`block ${b} is truncated`);
      const cbytes = u32(frame, s);
      s += 4;
      if (cbytes > frame.length - s) throw new BloscError(`block ${b} runs past the frame`);
      const part = k === splits - 1 ? size - splitSize * (splits - 1) : splitSize;
      if (cbytes === part) {
        target.set(frame.subarray(s, s + cbytes), base + k * splitSize);
      } else {
        const n = lz4DecodeBlock(frame, s, s + cbytes, target, base + k * splitSize, part);
        if (n !== part) throw new BloscError(`block ${b} expands to ${n} bytes, expected ${part}`);
      }
      s += cbytes;
    }
    if (shuffle) unshuffle(h.typeSize, size, tmp, out, at);
  }
  return out;
}
