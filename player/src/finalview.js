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
const COVERED_RANGES = [[0, 44], [48, 36], [148, 20], [176, 8]];
const CAM_POS_TABLE_SIZE = 256 * 12;
const PREVIEW_SIZE = 256;
const MAX_PICTURE_SIDE = 16384;

// Display sizes the sample codes can address: the cube layout is three
// square faces by two, its pixel column and row have 13 and 12 bits. A
// latitude-longitude code adds its flag byte times 2^24 to the pixel index in
// 32-bit arithmetic, and the merger writes displays of any size that way.
function displayFault(width, height, cube) {
  const size = `${width}x${height}`;
  if (width === 0 || height === 0) return 'zero display size';
  if (!cube) return null;
  if (height % 2 !== 0 || 2 * width !== 3 * height) return `cube-map display of ${size} pixels is not three square faces by two`;
  if (width > 8192 || height > 4096) return `cube-map display of ${size} pixels, more than the codes address (8192x4096)`;
  return null;
}

// The sections follow each other in a fixed order with nothing between
// them; an absent section has size and offset 0.
function layoutFault(s, fileSize) {
  const order = [['sample block', s.sample], ['motion block', s.motion], ['named blocks', s.named],
    ['preview', s.preview], ['integrity trailer', s.trailer], ['background', s.background]];
  let at = HEADER_SIZE, previous = 'header';
  for (const [name, [offset, size]] of order) {
    if (size === 0) {
      if (offset !== 0) return `${name} of size 0 has offset ${offset}, expected 0`;
      continue;
    }
    if (offset !== at) return `${name} at offset ${offset}, expected ${at} (directly after the ${previous})`;
    at += size;
    previous = name;
  }
  return fileSize === at ? null : `wrong total length: ${fileSize} bytes, the sections end at ${at}`;
}

let crcTable = null;
function crc32(bytes, start, end) {
  if (!crcTable) {
    crcTable = new Uint32Array(256);
    for (let n = 0; n < 256; ++n) {
      let c = n;
      for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
      crcTable[n] = c >>> 0;
    }
  }
  let c = 0xffffffff;
  for (let i = start; i < end; ++i) c = crcTable[(c ^ bytes[i]) & 255] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

// Width and height from a PNG's signature and IHDR chunk (its CRC
// checked), or null when they cannot be read.
export function pngHeaderSize(png) {
  const signature = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a];
  if (png.length < 33 || signature.some((b, i) => png[i] !== b)) return null;
  const v = new DataView(png.buffer, png.byteOffset, png.byteLength);
  if (v.getUint32(8) !== 13 || String.fromCharCode(...png.subarray(12, 16)) !== 'IHDR') return null;
  if (v.getUint32(29) !== crc32(png, 12, 29)) return null;
  const width = v.getUint32(16), height = v.getUint32(20);
  return width > 0 && height > 0 ? [width, height] : null;
}

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
  if ((d.flags & 1) === 0 || (d.flags & ~0xf) !== 0) fail(`flags ${d.flags}: bit 0 must be set and only bits 0 to 3 are defined`);
  if (bytes[10] !== 0 || bytes[11] !== 0 || bytes[47] !== 0) fail('reserved header bytes (10, 11, 47) are not zero');
  const display = displayFault(d.displayWidth, d.displayHeight, d.cube);
  if (display) fail(display);

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
  if (s.motion[1] === 0 && d.motionValues.some((v) => v !== 0)) fail('motion quantisation values without a motion block');
  if (s.preview[1] !== 0 && !inside(...s.preview, size)) fail('preview outside the file');
  if (s.background[1] !== 0 && !inside(...s.background, size)) fail('background outside the file');
  if (s.named[1] !== 0 && !inside(...s.named, size)) fail('named blocks outside the file');
  if (!inside(s.trailer[0], TRAILER_SIZE, size))
    fail(`truncated: the integrity trailer at ${s.trailer[0]} does not fit in ${size} bytes`);
  const layout = layoutFault(s, size);
  if (layout) fail(layout);

  // Integrity: the trailer names the header ranges it covers.
  const t = s.trailer[0];
  if (u32(t + 512) !== 1) fail(`unknown integrity trailer version ${u32(t + 512)}`);
  if (bytes.subarray(t, t + 512).some((b) => b !== 0)) fail("the integrity trailer's first 512 bytes are not zero");
  const rangeCount = u16(t + 518);
  if (rangeCount > 4) fail(`integrity trailer lists ${rangeCount} ranges, at most 4 fit`);
  const parts = [];
  let standard = true;
  const tail = bytes.slice(t + 512, t + TRAILER_SIZE);
  const check = view.getInt16(t + 516, true);
  tail[4] = tail[5] = 0;
  parts.push(tail);
  for (let i = 0; i < rangeCount; ++i) {
    const offset = u32(t + 520 + 8 * i), length = u32(t + 524 + 8 * i);
    if (!inside(offset, length, HEADER_SIZE)) fail('integrity trailer covers bytes outside the header');
    parts.push(bytes.subarray(offset, offset + length));
    if (rangeCount !== 4 || offset !== COVERED_RANGES[i][0] || length !== COVERED_RANGES[i][1]) standard = false;
  }
  if (!standard || rangeCount !== 4)
    fail('integrity trailer does not cover the header ranges (0, 44), (48, 36), (148, 20), (176, 8)');
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
    // The entries, then the names in entry order, then the data records in
    // entry order, then 8 zero bytes: every offset follows.
    let namesTotal = 0;
    for (let i = 0; i < n; ++i) namesTotal += u16(no + 8 + 8 * i);
    let nameAt = 8 * n, dataAt = nameAt + namesTotal;
    for (let i = 0; i < n; ++i) {
      const entry = no + 8 + 8 * i;
      const nameLength = u16(entry), nameOffset = u16(entry + 2), dataOffset = u32(entry + 4);
      if (!inside(nameOffset, nameLength, body) || !inside(dataOffset, 4, body))
        fail(`named blocks: entry ${i} outside the table`);
      const dataSize = u32(no + 8 + dataOffset);
      if (!inside(dataOffset + 4, dataSize, body)) fail(`named blocks: data of entry ${i} outside the table`);
      if (nameOffset !== nameAt || dataOffset !== dataAt)
        fail(`named blocks: entry ${i} has its name at ${nameOffset} and its data at ${dataOffset}, expected ${nameAt} and ${dataAt}`);
      nameAt += nameLength;
      dataAt += 4 + dataSize;
      const entryName = new TextDecoder().decode(bytes.subarray(no + 8 + nameOffset, no + 8 + nameOffset + nameLength));
      if (entryName !== 'camPosTable' || hasCameraTable) continue;
      if (dataSize !== CAM_POS_TABLE_SIZE)
        fail(`named blocks: "camPosTable" of ${dataSize} bytes, expected 256 records of 12 bytes (3072)`);
      const data = no + 8 + dataOffset + 4;
      for (let k = 0; k < 256 * 3; ++k) d.cameraTable[k] = f32(data + 4 * k);
      hasCameraTable = true;
    }
    if (dataAt + 8 !== body) fail(`named blocks: table of ${ns} bytes, its entries take ${dataAt + 16}`);
    if (bytes.subarray(no + 8 + dataAt, no + ns).some((b) => b !== 0)) fail('named blocks: the closing 8 bytes are not zero');
  }
  if (!hasCameraTable) fail('no camera table ("camPosTable")');
  if (s.preview[1] !== 0) {
    d.preview = bytes.slice(s.preview[0], s.preview[0] + s.preview[1]);
    const picture = pngHeaderSize(d.preview);
    if (!picture || picture[0] !== PREVIEW_SIZE || picture[1] !== PREVIEW_SIZE) fail('preview: not a PNG picture of 256x256 pixels');
  }
  if (s.background[1] !== 0) {
    // The page decodes it: its header decides the allocation.
    d.background = bytes.slice(s.background[0], s.background[0] + s.background[1]);
    const picture = pngHeaderSize(d.background);
    if (!picture) fail('background: not a PNG picture');
    if (picture[0] > MAX_PICTURE_SIDE || picture[1] > MAX_PICTURE_SIDE)
      fail(`background: a PNG picture of ${picture[0]}x${picture[1]} pixels, larger than any background`);
  }
  return d;
}
