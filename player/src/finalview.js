// Reads a final view file: the 200-byte header, the section table, the
// integrity trailer over its covered ranges, the sample and motion blocks
// and the camera table. Every size and offset is checked against the file
// before it is used; a file that fails a check is refused with an Error
// whose message names the file and the fault.

import { bloscDecompress, BloscError } from './blosc.js';

export const HEADER_SIZE = 200;
export const TRAILER_SIZE = 552;
export const SAMPLE_CODE_SIZE = 16;
const MAGIC = [0x82, 0x51, 0x56, 0x4c, 0x3d, 0x0a, 0x24, 0x0a];
const NAMED_BLOCKS_MAGIC = 0x0042564b;
const HEX = '0123456789abcdef';

export class FinalViewError extends Error {}

// SHA-512 through Web Crypto (browsers in a secure context, node >= 19).
async function sha512(parts) {
  const subtle = globalThis.crypto?.subtle;
  if (!subtle) throw new FinalViewError('this page needs Web Crypto (open it from localhost or https)');
  let total = 0;
  for (const p of parts) total += p.length;
  const all = new Uint8Array(total);
  let at = 0;
  for (const p of parts) {
    all.set(p, at);
    at += p.length;
  }
  return new Uint8Array(await subtle.digest('SHA-512', all));
}

export function digestCharacterSum(digest) {
  let e = 0;
  for (const b of digest) e += HEX.charCodeAt(b >> 4) + HEX.charCodeAt(b & 15);
  return e;
}

const inside = (offset, size, limit) => offset <= limit && size <= limit - offset;

// bytes: Uint8Array of the whole file. name labels the messages.
export async function parseFinalView(bytes, name = 'final view file', { expectedEngineId = 1 } = {}) {
  const fail = (why) => {
    throw new FinalViewError(`${name}: ${why}`);
  };
  const size = bytes.length;
  if (size < HEADER_SIZE) fail(`truncated: ${size} bytes, shorter than the 200-byte header`);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const u16 = (o) => view.getUint16(o, true);
  const u32 = (o) => view.getUint32(o, true);
  const f32 = (o) => view.getFloat32(o, true);
  for (let i = 0; i < 8; ++i) if (bytes[i] !== MAGIC[i]) fail('not a final view file (wrong magic)');
  if (u16(8) !== 4) fail(`unsupported format version ${u16(8)}`);
  if (u32(148) !== HEADER_SIZE) fail(`header size ${u32(148)}, expected 200`);
  if (u32(176) !== TRAILER_SIZE) fail(`integrity trailer size ${u32(176)}, expected 552`);

  const d = {
    name,
    sampleCount: u32(12),
    displayWidth: u16(16),
    displayHeight: u16(18),
    boxMin: [f32(20), f32(24), f32(28)],
    boxMax: [f32(32), f32(36), f32(40)],
    camOffset: [view.getInt8(44), view.getInt8(45), view.getInt8(46)],
    opaqueCount: u32(48),
    transparentCount: u32(52),
    flags: u32(56),
    motionValues: Array.from({ length: 6 }, (_, i) => f32(60 + 4 * i)),
    camToWorld: Array.from({ length: 16 }, (_, i) => f32(84 + 4 * i)),
    engineId: 0,
    codes: null,
    motion: null,
    cameraTable: new Float32Array(256 * 3),
    preview: null,
    background: null,
    sections: {},
  };
  d.cube = (d.flags & 8) !== 0;
  if (d.sampleCount === 0) fail('no samples');
  if (d.opaqueCount + d.transparentCount !== d.sampleCount)
    fail(`opaque (${d.opaqueCount}) and transparent (${d.transparentCount}) counts do not add up to ${d.sampleCount} samples`);
  if (d.displayWidth === 0 || d.displayHeight === 0) fail('zero display size');

  const s = {
    sample: [u32(156), u32(152)],
    motion: [u32(164), u32(160)],
    preview: [u32(172), u32(168)],
    trailer: [u32(180), TRAILER_SIZE],
    background: [u32(188), u32(184)],
    named: [u32(196), u32(192)],
  };
  d.sections = s;
  const [sampleOffset, sampleSize] = s.sample;
  if (sampleOffset < HEADER_SIZE || !inside(sampleOffset, sampleSize, size))
    fail(`sample block outside the file (offset ${sampleOffset}, size ${sampleSize}, file ${size} bytes)`);
  if (s.motion[1] !== 0 && (s.motion[0] < HEADER_SIZE || !inside(...s.motion, size))) fail('motion block outside the file');
  if ((s.motion[1] !== 0) !== ((d.flags & 2) !== 0)) fail('motion flag and motion block disagree');
  if (s.preview[1] !== 0 && !inside(...s.preview, size)) fail('preview outside the file');
  if (s.background[1] !== 0 && !inside(...s.background, size)) fail('background outside the file');
  if (s.named[1] !== 0 && !inside(...s.named, size)) fail('named blocks outside the file');
  if (!inside(s.trailer[0], TRAILER_SIZE, size))
    fail(`truncated: the integrity trailer at ${s.trailer[0]} does not fit in ${size} bytes`);
  // Sections lie in the file's order, each after the one before, and none
  // overlaps the header or another.
  const present = [
    ['sample block', s.sample],
    ['motion block', s.motion],
    ['named blocks', s.named],
    ['preview', s.preview],
    ['integrity trailer', s.trailer],
    ['background', s.background],
  ].filter(([, [, length]]) => length !== 0);
  let end = HEADER_SIZE;
  for (const [what, [offset, length]] of present) {
    if (offset < end) fail(`${what} at ${offset} overlaps the section before it (which ends at ${end})`);
    end = offset + length;
  }

  // Integrity: the trailer names the header ranges it covers.
  const t = s.trailer[0];
  if (u32(t + 512) !== 1) fail(`unknown integrity trailer version ${u32(t + 512)}`);
  const rangeCount = u16(t + 518);
  if (rangeCount > 4) fail(`integrity trailer lists ${rangeCount} ranges, at most 4 fit`);
  const parts = [];
  const tail = bytes.slice(t + 512, t + TRAILER_SIZE);
  const check = view.getInt16(t + 516, true);
  tail[4] = tail[5] = 0;
  parts.push(tail);
  for (let i = 0; i < rangeCount; ++i) {
    const offset = u32(t + 520 + 8 * i), length = u32(t + 524 + 8 * i);
    if (!inside(offset, length, HEADER_SIZE)) fail('integrity trailer covers bytes outside the header');
    parts.push(bytes.subarray(offset, offset + length));
  }
  parts.push(bytes.subarray(sampleOffset, sampleOffset + sampleSize));
  if (s.motion[1] !== 0) parts.push(bytes.subarray(s.motion[0], s.motion[0] + s.motion[1]));
  const e = digestCharacterSum(await sha512(parts));
  d.engineId = (((check + e) % 99) + 99) % 99;
  if (d.engineId !== expectedEngineId)
    fail(`integrity check failed: the covered bytes were changed (engine ${d.engineId}, expected ${expectedEngineId})`);

  // LZ4 expands at most about 255-fold; a count beyond that cannot be real
  // and must not size an allocation.
  const codeBytes = d.sampleCount * SAMPLE_CODE_SIZE;
  if (codeBytes > sampleSize * 256 + 65536) fail(`sample count ${d.sampleCount} cannot fit in a block of ${sampleSize} bytes`);
  const unpack = (what, [offset, length], expected) => {
    try {
      return bloscDecompress(bytes.subarray(offset, offset + length), expected);
    } catch (err) {
      if (err instanceof BloscError) fail(`${what}: ${err.message}`);
      throw err;
    }
  };
  d.codes = unpack('sample block', s.sample, codeBytes);
  if (s.motion[1] !== 0) {
    const motionBytes = d.sampleCount * (d.cube ? 4 : 2);
    if (motionBytes > s.motion[1] * 256 + 65536) fail(`motion block too small for ${d.sampleCount} samples`);
    d.motion = unpack('motion block', s.motion, motionBytes);
  }

  let hasCameraTable = false;
  if (s.named[1] !== 0) {
    const [no, ns] = s.named;
    if (ns < 16 || u32(no) !== NAMED_BLOCKS_MAGIC) fail('named blocks: bad magic');
    const n = u32(no + 4);
    if (n > Math.floor((ns - 16) / 12)) fail(`named blocks: ${n} entries do not fit`);
    const body = ns - 8; // offsets count from byte 8
    for (let i = 0; i < n; ++i) {
      const entry = no + 8 + 8 * i;
      const nameLength = u16(entry), nameOffset = u16(entry + 2), dataOffset = u32(entry + 4);
      if (!inside(nameOffset, nameLength, body) || !inside(dataOffset, 4, body))
        fail(`named blocks: entry ${i} outside the table`);
      const dataSize = u32(no + 8 + dataOffset);
      if (!inside(dataOffset + 4, dataSize, body)) fail(`named blocks: data of entry ${i} outside the table`);
      const entryName = new TextDecoder().decode(bytes.subarray(no + 8 + nameOffset, no + 8 + nameOffset + nameLength));
      if (entryName !== 'camPosTable' || hasCameraTable) continue;
      const data = no + 8 + dataOffset + 4;
      const records = Math.min(256, Math.floor(dataSize / 12));
      for (let k = 0; k < records * 3; ++k) d.cameraTable[k] = f32(data + 4 * k);
      hasCameraTable = true;
    }
  }
  if (!hasCameraTable) fail('no camera table ("camPosTable")');
  if (s.preview[1] !== 0) d.preview = bytes.slice(s.preview[0], s.preview[0] + s.preview[1]);
  if (s.background[1] !== 0) d.background = bytes.slice(s.background[0], s.background[0] + s.background[1]);
  return d;
}
