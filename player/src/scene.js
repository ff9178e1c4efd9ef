// The drawable form of one final view file: per plaque its four corners,
// centre, both eyes' colours (premultiplied) and alpha, and the motion of
// one frame, packed in typed arrays for the GPU. Plaques that cannot be
// placed are left out, as quorvel_view leaves them out.

import { decodeSample, placePlaque, motionDisplacement } from './decode.js';

export const FLOATS_PER_PLAQUE = 12 + 3 + 3 + 3 + 1 + 3; // corners, centre, left, right, alpha, motion

export function buildScene(file, { footprintScale = 1.05 } = {}) {
  const n = file.sampleCount;
  const data = new Float32Array(n * FLOATS_PER_PLAQUE);
  let count = 0, opaqueCount = 0, moving = 0;
  for (let i = 0; i < n; ++i) {
    const s = decodeSample(file, i);
    const p = placePlaque(file, s, footprintScale);
    if (!p) continue;
    const o = count * FLOATS_PER_PLAQUE;
    data.set(p.corners, o);
    data.set(p.centre, o + 12);
    data.set(s.left, o + 15);
    data.set(s.right, o + 18);
    data[o + 21] = s.alpha / 255;
    const m = motionDisplacement(file, s, i, p.centre);
    if (m) {
      data.set(m, o + 22);
      ++moving;
    }
    ++count;
    if (i < file.opaqueCount) ++opaqueCount;
  }
  return {
    name: file.name,
    data: data.subarray(0, count * FLOATS_PER_PLAQUE),
    count,
    opaqueCount,
    moving,
    halfExtent: [0, 1, 2].map((k) => (file.boxMax[k] - file.boxMin[k]) / 200),
    background: file.background,
    file,
  };
}
