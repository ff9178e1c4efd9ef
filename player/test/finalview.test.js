import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, existsSync, mkdtempSync, writeFileSync } from 'node:fs';
import { execFileSync } from 'node:child_process';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { parseFinalView, FinalViewError } from '../src/finalview.js';
import { compareWithDump } from './dump.js';
import { buildScene } from '../src/scene.js';

const fixturePath = new URL('./fixtures/tiny_0001.qvl', import.meta.url);
const tiny = () => new Uint8Array(readFileSync(fixturePath));
const root = new URL('../../', import.meta.url).pathname;

// The viewer built beside the player, if any: QUORVEL_VIEW, else build/.
function viewer() {
  const candidates = [process.env.QUORVEL_VIEW, join(root, 'build/quorvel_utilities/quorvel_view_utility/quorvel_view')];
  return candidates.find((p) => p && existsSync(p)) ?? null;
}

test('the tiny scene decodes to exactly what quorvel_view --dump printed for it', async () => {
  const file = await parseFinalView(tiny(), 'tiny_0001.qvl');
  assert.equal(file.sampleCount, 282);
  assert.equal(file.opaqueCount + file.transparentCount, 282);
  assert.ok(file.transparentCount > 0 && file.motion, 'the fixture has transparent and moving samples');
  assert.equal(file.engineId, 1);
  assert.equal(file.cube, true);
  const dump = readFileSync(new URL('./fixtures/tiny_0001.dump', import.meta.url), 'utf8');
  assert.deepEqual(compareWithDump(file, dump), []);
  const scene = buildScene(file);
  assert.equal(scene.count, file.sampleCount);
  assert.ok(scene.moving > 0);
});

test('files the built tools write decode as quorvel_view decodes them', async (t) => {
  const view = viewer();
  if (!view) {
    t.skip('quorvel_view is not built (build/ or QUORVEL_VIEW): compared against the committed dump only');
    return;
  }
  const files = [fixturePath.pathname, ...(process.env.QUORVEL_PLAYER_FILES ?? '').split(':').filter(Boolean)];
  for (const path of files) {
    const file = await parseFinalView(new Uint8Array(readFileSync(path)), path);
    const dump = execFileSync(view, [path, '--dump'], { encoding: 'utf8', maxBuffer: 1 << 30 });
    assert.deepEqual(compareWithDump(file, dump), [], path);
  }
});

// Offsets in the header of the fixture.
const u32 = (b, o) => new DataView(b.buffer, b.byteOffset).getUint32(o, true);
const setU32 = (b, o, v) => new DataView(b.buffer, b.byteOffset).setUint32(o, v >>> 0, true);

test('malformed files are refused with a message naming the fault', { timeout: 20000 }, async () => {
  const good = tiny();
  const edit = (f) => {
    const b = good.slice();
    f(b);
    return b;
  };
  const sample = [u32(good, 156), u32(good, 152)];
  const named = [u32(good, 196), u32(good, 192)];
  const trailer = u32(good, 180);
  const cases = [
    ['empty', new Uint8Array(0), /truncated: 0 bytes, shorter than the 200-byte header/],
    ['header only', good.subarray(0, 200), /sample block outside the file/],
    ['cut before the trailer ends', good.subarray(0, trailer + 100), /background outside the file|integrity trailer at \d+ does not fit/],
    ['wrong magic', edit((b) => (b[1] = 0x52)), /not a final view file \(wrong magic\)/],
    ['version 5', edit((b) => (b[8] = 5)), /unsupported format version 5/],
    ['header size', edit((b) => setU32(b, 148, 204)), /header size 204, expected 200/],
    ['trailer size', edit((b) => setU32(b, 176, 500)), /integrity trailer size 500, expected 552/],
    ['no samples', edit((b) => setU32(b, 12, 0)), /no samples/],
    ['counts disagree', edit((b) => setU32(b, 48, u32(b, 48) + 1)), /do not add up to 282 samples/],
    ['zero display', edit((b) => { b[16] = 0; b[17] = 0; }), /zero display size/],
    ['sample block past the end', edit((b) => setU32(b, 152, b.length)), /sample block outside the file/],
    ['sample block over the header', edit((b) => setU32(b, 156, 100)), /sample block outside the file/],
    ['motion flag without block', edit((b) => { setU32(b, 160, 0); setU32(b, 164, 0); }), /motion flag and motion block disagree/],
    ['overlapping sections', edit((b) => setU32(b, 196, sample[0] + 8)), /named blocks at \d+ overlaps the section before it/],
    ['unknown trailer version', edit((b) => setU32(b, trailer + 512, 2)), /unknown integrity trailer version 2/],
    ['too many ranges', edit((b) => { b[trailer + 518] = 9; }), /lists 9 ranges, at most 4 fit/],
    ['range outside the header', edit((b) => setU32(b, trailer + 520, 190)), /covers bytes outside the header/],
    ['covered header byte changed', edit((b) => (b[40] ^= 1)), /integrity check failed: the covered bytes were changed/],
    ['sample byte changed', edit((b) => (b[sample[0] + 40] ^= 0x10)), /integrity check failed/],
  ];
  for (const [what, bytes, message] of cases)
    await assert.rejects(parseFinalView(bytes, 'bad.qvl'), (e) => e instanceof FinalViewError && e.message.startsWith('bad.qvl: ') && message.test(e.message), what);
});

// The named blocks lie outside what the integrity digest covers, so damage
// there passes the check and must be caught by the table's own checks.
test('damage the integrity check does not cover is refused too', { timeout: 20000 }, async () => {
  const good = tiny();
  const named = u32(good, 196);
  const cases = [
    ['named blocks magic', (b) => (b[named] = 0), /named blocks: bad magic/],
    ['named block count', (b) => setU32(b, named + 4, 100000), /named blocks: 100000 entries do not fit/],
    ['named block data size', (b) => setU32(b, named + 8 + u32(b, named + 12), 1 << 30), /data of entry 0 outside the table/],
    ['no camera table', (b) => (b[named + 8 + 8 + 0] = 0x78), /no camera table \("camPosTable"\)/],
  ];
  for (const [what, f, message] of cases) {
    const b = good.slice();
    f(b);
    await assert.rejects(parseFinalView(b, 'bad.qvl'), (e) => e instanceof FinalViewError && message.test(e.message), what);
  }
});
