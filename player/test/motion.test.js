import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { parseFinalView } from '../src/finalview.js';
import { buildScene, FLOATS_PER_PLAQUE } from '../src/scene.js';

const load = async (name) => {
  const bytes = new Uint8Array(readFileSync(new URL(`./fixtures/${name}`, import.meta.url)));
  return buildScene(await parseFinalView(bytes, name));
};

// Two consecutive frames of the tiny scene, whose sphere moves: a moving
// sample of the first frame, carried by its decoded motion for one frame,
// lands near the surface the second frame has there; left in place it does
// not. This checks the motion codes' scales, offsets and directions together.
test('motion codes carry the samples of one frame towards the next', async () => {
  const a = await load('tiny_0001.qvl'), b = await load('tiny_0002.qvl');
  const F = FLOATS_PER_PLAQUE;
  const nearest = (p) => {
    let best = Infinity;
    for (let j = 0; j < b.count; ++j) {
      const o = j * F + 12;
      best = Math.min(best, Math.hypot(b.data[o] - p[0], b.data[o + 1] - p[1], b.data[o + 2] - p[2]));
    }
    return best;
  };
  let still = 0, moved = 0, n = 0;
  for (let i = 0; i < a.count; ++i) {
    const o = i * F;
    const m = [a.data[o + 22], a.data[o + 23], a.data[o + 24]];
    if (m.every((v) => v === 0)) continue;
    const c = [a.data[o + 12], a.data[o + 13], a.data[o + 14]];
    still += nearest(c);
    moved += nearest(c.map((v, k) => v + m[k]));
    ++n;
  }
  assert.equal(n, a.moving);
  assert.ok(n > 50, `${n} moving samples`);
  assert.ok(moved < 0.4 * still, `moved samples lie ${moved / n} from the next frame's, unmoved ${still / n}`);
});
