import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { createHash } from 'node:crypto';
import { parseFinalView, FinalViewError, digestCharacterSum } from '../src/finalview.js';
import { buildScene } from '../src/scene.js';

const good = new Uint8Array(readFileSync(new URL('./fixtures/tiny_0001.qvl', import.meta.url)));
const u32 = (b, o) => new DataView(b.buffer, b.byteOffset).getUint32(o, true);

// Gives a damaged file a check value that matches its bytes again, as a
// writer that damaged them would, so the damage reaches the decoders.
function resign(b) {
  const t = u32(b, 180);
  if (t + 552 > b.length) return;
  const tail = b.slice(t + 512, t + 552);
  tail[4] = tail[5] = 0;
  const h = createHash('sha512').update(tail);
  for (const [o, l] of [[0, 44], [48, 36], [148, 20], [176, 8]]) h.update(b.subarray(o, o + l));
  const [so, ss, mo, ms] = [u32(b, 156), u32(b, 152), u32(b, 164), u32(b, 160)];
  if (so + ss > b.length || mo + ms > b.length) return;
  h.update(b.subarray(so, so + ss));
  if (ms) h.update(b.subarray(mo, mo + ms));
  const e = digestCharacterSum(h.digest());
  new DataView(b.buffer).setInt16(t + 516, 1 - (e % 99) + 198, true);
}

function random(seed) {
  let s = seed >>> 0;
  return () => ((s = (Math.imul(s, 1664525) + 1013904223) >>> 0) / 2 ** 32);
}

// 1500 damaged copies: every one is either read (and then
// builds a scene) or refused with a FinalViewError, never another
// exception, which would be a read outside the file or a decoder fault.
test('damaged files are read or refused, never anything else', { timeout: 60000 }, async () => {
  const r = random(12345);
  const regions = [[u32(good, 156), u32(good, 152)], [u32(good, 164), u32(good, 160)], [0, 200], [u32(good, 196), u32(good, 192)]];
  let refused = 0, read = 0;
  for (let n = 0; n < 1500; ++n) {
    let b = good.slice();
    const kind = n % 4;
    if (kind === 3) b = b.subarray(0, Math.floor(r() * b.length)).slice();
    else {
      const [o, l] = regions[Math.floor(r() * regions.length)];
      const flips = 1 + Math.floor(r() * 4);
      for (let k = 0; k < flips; ++k) b[o + Math.floor(r() * l)] ^= 1 << Math.floor(r() * 8);
      if (kind !== 0) resign(b);
    }
    try {
      const file = await parseFinalView(b, 'damaged.qvl');
      buildScene(file);
      ++read;
    } catch (err) {
      if (!(err instanceof FinalViewError)) throw new Error(`copy ${n}: ${err.stack}`);
      assert.match(err.message, /^damaged\.qvl: \S/);
      ++refused;
    }
  }
  assert.ok(refused > 500 && read > 50, `${refused} refused, ${read} read`);
});
