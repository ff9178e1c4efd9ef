import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { bloscDecompress, lz4DecodeBlock, BloscError } from '../src/blosc.js';

const fixture = (name) => new Uint8Array(readFileSync(new URL(`./fixtures/${name}`, import.meta.url)));

// The same bytes as pattern() of fixtures/make-blosc-fixtures.c.
function pattern(size, noisy) {
  const out = new Uint8Array(size);
  for (let i = 0; i < size; ++i) {
    if (noisy === 2) out[i] = (Math.floor(i / 7) * 29) & 255;
    else if (noisy) {
      let x = Math.imul(i, 2654435761) >>> 0;
      x = (x ^ (x >>> 15)) >>> 0;
      x = Math.imul(x, 2246822519) >>> 0;
      x = (x ^ (x >>> 13)) >>> 0;
      out[i] = x & 255;
    } else {
      const r = Math.floor(i / 16), k = i % 16;
      out[i] = (k % 4 === 3 ? r >>> 8 : (r * 7 + k * 13) ^ (r >>> 5)) & 255;
    }
  }
  return out;
}

test('frames written by libblosc decode to their original bytes', () => {
  const cases = [
    ['lz4hc-shuffle16.blosc', 16 * 1000, 0], // shuffled, split into 16 streams
    ['lz4hc-shuffle16-blocks.blosc', 16 * 1000 + 7, 0], // many blocks, a short last one, a tail past the last record
    ['lz4-noshuffle4.blosc', 10003, 2],
    ['lz4-noise.blosc', 5000, 1], // incompressible: stored as a plain copy
    ['lz4-shuffle2-motion.blosc', 2 * 777, 0], // one block, not split
  ];
  for (const [name, size, noisy] of cases) {
    const got = bloscDecompress(fixture(name), size);
    assert.deepEqual(got, pattern(size, noisy), name);
  }
});

test('damaged or foreign frames are refused with a message', () => {
  const good = fixture('lz4hc-shuffle16-blocks.blosc');
  const edit = (f) => {
    const b = good.slice();
    f(b);
    return b;
  };
  const cases = [
    ['short', good.subarray(0, 10), /shorter than its 16-byte header/],
    ['truncated', good.subarray(0, good.length - 100), /compressed bytes, its section holds/],
    ['zlib', fixture('zlib.blosc'), /compressor zlib is not supported/, 1600],
    ['wrong size expected', good, /expands to 16007 bytes, expected 16000/, 16000],
    ['block start past the end', edit((b) => { b[16] = 0xff; b[17] = 0xff; b[18] = 0xff; }), /starts outside the frame/],
    ['huge block size', edit((b) => { b[11] = 0x7f; }), /block size .* does not fit/],
    ['stream length past the end', edit((b) => { const s = b[16] | (b[17] << 8); b[s + 3] = 0x7f; }), /runs past the frame/],
  ];
  for (const [what, bytes, message, expected] of cases)
    assert.throws(() => bloscDecompress(bytes, expected ?? 16007), (e) => e instanceof BloscError && message.test(e.message), what);
});

test('lz4 blocks: overlapping matches repeat, bad offsets and overflows are refused', () => {
  // "ab" then a match of 6 at offset 2, then literal "c".
  const src = Uint8Array.from([0x22, 0x61, 0x62, 0x02, 0x00, 0x10, 0x63]);
  const out = new Uint8Array(9);
  assert.equal(lz4DecodeBlock(src, 0, src.length, out, 0, 9), 9);
  assert.equal(new TextDecoder().decode(out), 'abababab' + 'c');
  const bad = [
    [Uint8Array.from([0x12, 0x61, 0x05, 0x00]), /offset before the start/],
    [Uint8Array.from([0x22, 0x61, 0x62, 0x02, 0x00, 0x10, 0x63]), /overflows the output/, 5],
    [Uint8Array.from([0xf0, 0xff]), /literal length runs past/],
    [Uint8Array.from([0x50, 0x61]), /literals run past the block/],
    [Uint8Array.from([0x12, 0x61, 0x01]), /truncated match offset/],
  ];
  for (const [block, message, size] of bad)
    assert.throws(() => lz4DecodeBlock(block, 0, block.length, new Uint8Array(size ?? 64), 0, size ?? 64), message);
});
