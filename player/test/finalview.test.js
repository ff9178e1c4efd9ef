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

function crc(bytes) {
  let c = 0xffffffff;
  for (const byte of bytes) {
    c ^= byte;
    for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  }
  return (c ^ 0xffffffff) >>> 0;
}

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
    ['overlapping sections', edit((b) => setU32(b, 196, sample[0] + 8)), /named blocks at offset \d+, expected \d+ \(directly after the motion block\)/],
    ['gap between sections', edit((b) => setU32(b, 172, u32(b, 172) + 4)), /preview at offset \d+, expected \d+ \(directly after the named blocks\)/],
    ['absent section with an offset', edit((b) => setU32(b, 188, 0) || setU32(b, 184, 0) || setU32(b, 188, 77)), /background of size 0 has offset 77, expected 0/],
    ['a byte after the last section', Uint8Array.from([...good, 0]), /wrong total length: \d+ bytes, the sections end at \d+/],
    ['unknown flag bit', edit((b) => (b[56] |= 0x10)), /flags 27: bit 0 must be set and only bits 0 to 3 are defined/],
    ['flag bit 0 clear', edit((b) => (b[56] &= ~1)), /flags 10: bit 0 must be set/],
    ['reserved byte', edit((b) => (b[47] = 1)), /reserved header bytes \(10, 11, 47\) are not zero/],
    ['cube display not 3:2', edit((b) => (b[18] = 100)), /cube-map display of 312x100 pixels is not three square faces by two/],
    ['motion values without motion', edit((b) => { b[56] &= ~2; setU32(b, 160, 0); setU32(b, 164, 0); }), /motion quantisation values without a motion block/],
    ['trailer padding not zero', edit((b) => (b[trailer + 3] = 1)), /integrity trailer's first 512 bytes are not zero/],
    ['three ranges', edit((b) => (b[trailer + 518] = 3)), /does not cover the header ranges \(0, 44\), \(48, 36\), \(148, 20\), \(176, 8\)/],
    ['unknown trailer version', edit((b) => setU32(b, trailer + 512, 2)), /unknown integrity trailer version 2/],
    ['too many ranges', edit((b) => { b[trailer + 518] = 9; }), /lists 9 ranges, at most 4 fit/],
    ['range outside the header', edit((b) => setU32(b, trailer + 520, 190)), /covers bytes outside the header/],
    ['covered header byte changed', edit((b) => (b[40] ^= 1)), /integrity check failed: the covered bytes were changed/],
    ['sample byte changed', edit((b) => (b[sample[0] + 40] ^= 0x10)), /integrity check failed/],
  ];
  for (const [what, bytes, message] of cases)
    await assert.rejects(parseFinalView(bytes, 'bad.qvl'), (e) => e instanceof FinalViewError && e.message.startsWith('bad.qvl: ') && message.test(e.message), what);
  await refusedByViewerToo(cases.map(([what, bytes]) => [what, bytes]));
});

// quorvel_view, where built, refuses the same files (its messages may word
// a fault differently; a difference is printed, not failed).
async function refusedByViewerToo(cases) {
  const view = viewer();
  if (!view) return;
  const dir = mkdtempSync(join(tmpdir(), 'qvl-bad-'));
  for (const [what, bytes] of cases) {
    const path = join(dir, 'bad.qvl');
    writeFileSync(path, bytes);
    let status = 0, stderr = '';
    try {
      execFileSync(view, [path, '--info'], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
    } catch (err) {
      status = err.status;
      stderr = String(err.stderr);
    }
    assert.equal(status, 1, `${what}: quorvel_view accepted a file the player refuses`);
    await parseFinalView(bytes, path).catch((e) => {
      const theirs = stderr.trim().replace(/^quorvel_view: /, '');
      if (theirs !== e.message) console.log(`${what}: quorvel_view says "${theirs}", the player "${e.message}"`);
    });
  }
}

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
    ['table closing bytes', (b) => (b[named + u32(b, 192) - 1] = 1), /named blocks: the closing 8 bytes are not zero/],
    ['preview not a PNG', (b) => (b[u32(b, 172) + 1] = 0), /preview: not a PNG picture of 256x256 pixels/],
    ['preview header damaged', (b) => (b[u32(b, 172) + 17] ^= 1), /preview: not a PNG picture of 256x256 pixels/],
    ['background too large', (b) => {
      // A consistent IHDR claiming 20000 x 20000 pixels.
      const o = u32(b, 188);
      new DataView(b.buffer).setUint32(o + 16, 20000);
      new DataView(b.buffer).setUint32(o + 20, 20000);
      new DataView(b.buffer).setUint32(o + 29, crc(b.subarray(o + 12, o + 29)));
    }, /background: a PNG picture of 20000x20000 pixels, larger than any background/],
  ];
  const edited = [];
  for (const [what, f, message] of cases) {
    const b = good.slice();
    f(b);
    await assert.rejects(parseFinalView(b, 'bad.qvl'), (e) => e instanceof FinalViewError && message.test(e.message), what);
    edited.push([what, b]);
  }
  await refusedByViewerToo(edited);
});
