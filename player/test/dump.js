// Compares the JS decoder with the text of `quorvel_view --dump` for the
// same file, field by field.
import { decodeSample, placePlaque } from '../src/decode.js';

const INTEGER_FIELDS = 8; // index .. depth_code
const FLAG_FIELDS = [9, 10, 11, 12, 13, 14]; // alpha, colours, flags

// Returns the list of disagreements (at most `limit`), empty when every
// decoded value matches within float precision.
export function compareWithDump(file, dumpText, { limit = 10, footprintScale = 1.05 } = {}) {
  const lines = dumpText.split('\n').filter((l) => l && !l.startsWith('#'));
  const problems = [];
  if (lines.length !== file.sampleCount) problems.push(`dump has ${lines.length} samples, file ${file.sampleCount}`);
  const close = (a, b, tol) => Math.abs(a - b) <= tol * Math.max(1, Math.abs(a), Math.abs(b));
  for (let i = 0; i < lines.length && problems.length < limit; ++i) {
    const want = lines[i].split(' ').map(Number);
    const s = decodeSample(file, i);
    const p = placePlaque(file, s, footprintScale);
    const got = [i, s.x, s.y, s.camera, s.level, s.plaqueWidth, s.plaqueHeight, s.depthCode, s.depth, s.alpha, s.colour,
      s.rightColour, s.transparent, s.cockpit, s.moving, ...s.normal, ...s.left, ...s.right, p ? 1 : 0];
    if (p) got.push(...p.centre, ...p.corners);
    if (got.length !== want.length) {
      problems.push(`sample ${i}: ${got.length} fields, dump has ${want.length}`);
      continue;
    }
    for (let k = 0; k < got.length; ++k) {
      const exact = k < INTEGER_FIELDS || FLAG_FIELDS.includes(k) || k === 24;
      // Colours and the depth go through the same float steps; positions
      // add a tangent-plane intersection whose last bits differ.
      const tol = k < 24 ? 2e-6 : 2e-5;
      if (exact ? got[k] !== want[k] : !close(got[k], want[k], tol)) {
        problems.push(`sample ${i} field ${k}: got ${got[k]}, dump says ${want[k]}`);
        break;
      }
    }
  }
  return problems;
}
