// Turns the 16-byte sample codes of a final view file into drawable plaques:
// the decoded fields (colour, alpha, depth, normal, camera, pixel, plaque
// size and flags) and the footprint each plaque cuts out of its tangent
// plane, as quorvel_view places it. Positions are in the file's units (100
// scene units) relative to the zone of view's centre.

const f = Math.fround;
const PI = f(3.14159265358979);
const EDGE = f(0.9999999);

export function decodeDepthCode(code) {
  return f(Math.tan(f(f(f(code / 32767) * f(1.5547974)) + f(0.014998876))));
}

// Linear RGB of a 24-bit colour code, negative channels set to 0.
export function decodeColourCode(code, out = [0, 0, 0]) {
  const xq = code & 127, yq = (code >>> 7) & 127, Yq = (code >>> 14) & 1023;
  const x = f(f(f(xq * f(0.49999997)) / 127) + f(0.15));
  const y = f(f(f(yq * f(0.54)) / 127) + f(0.06));
  const Yp = f(f(Yq * f(0.956)) / 1023);
  const Y = f(Math.pow(f(f(1 / f(1 - Yp)) - 1), 1.5));
  const X = f(f(x * Y) / y);
  const Z = f(f(f(f(1 - x) - y) * Y) / y);
  const pos = (v) => (v > 0 ? v : 0);
  out[0] = pos(f(f(f(3.2406) * X) - f(f(1.5372) * Y)) - f(f(0.4986) * Z));
  out[1] = pos(f(f(f(-0.9689) * X) + f(f(1.8758) * Y)) + f(f(0.0415) * Z));
  out[2] = pos(f(f(f(0.0557) * X) - f(f(0.204) * Y)) + f(f(1.057) * Z));
  for (let i = 0; i < 3; ++i) out[i] = f(out[i]);
  return out;
}

function unit(v) {
  const l = Math.sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  return l > 0 ? [v[0] / l, v[1] / l, v[2] / l] : v;
}
const dot = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
const cross = (a, b) => [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]];

// Direction through (u, v) of the 3:2 cube-map image: faces +x, +z, -x in
// the upper row, -z, +y, -y in the lower one.
export function cubeMapDirection(u, v) {
  const s = 2 * u - 1, t = 2 * v - 1;
  const k = EDGE;
  const column = s < -1 / 3 ? 0 : s < 1 / 3 ? 1 : 2;
  const face = t >= 0 ? 3 + column : column;
  let d;
  switch (face) {
    case 0: d = [1, (2 * t + 1) * k, (3 * s + 2) * k]; break;
    case 1: d = [-3 * s * k, (2 * t + 1) * k, 1]; break;
    case 2: d = [-1, (2 * t + 1) * k, (2 - 3 * s) * k]; break;
    case 3: d = [(3 * s + 2) * k, (2 * t - 1) * k, -1]; break;
    case 4: d = [-3 * s * k, 1, (1 - 2 * t) * k]; break;
    default: d = [(2 - 3 * s) * k, -1, (2 * t - 1) * k];
  }
  return unit(d);
}

// Pixel direction of the latitude-longitude layout, whose rows shrink
// towards the poles; invalid pixels point to their half's pole.
export function latLongDirection(x, y, width, height) {
  const u = (x + 0.5) / width, v = (y + 0.5) / height;
  const e = Math.min(1, Math.max(-1, v));
  const rowFraction = f(f(Math.floor(e * height)) / f(height));
  const s = f(Math.sin(f(rowFraction * f(3.1415927))));
  const rowLength = Math.floor(f(s * f(width))) + 1;
  if (!(s > 1.1920929e-7 && f(f(u) * f(width)) <= rowLength)) return [0, y / height <= 0.5 ? 1 : -1, 0];
  const a = f(u > Math.floor(u * width) / width ? (u - s - 0.5 / width) / s : (u - 0.5 / width) / s);
  const b = f(e - 0.5 / height);
  const theta = f(b * f(3.1415927)), phi = f(f(2 * a + 0.5) * f(3.1415927));
  const st = Math.sin(theta);
  return unit([Math.cos(phi) * st, Math.cos(theta), Math.sin(phi) * st]);
}

// Octahedral normal of a cube code's 16 bits; zero for code 0.
export function cubeNormal(code) {
  if (code === 0) return [0, 0, 0];
  let a = ((code >>> 8) / 255) * 2 - 1, b = ((code & 255) / 255) * 2 - 1;
  const c = 1 - Math.abs(a) - Math.abs(b);
  if (c < 0) {
    const na = (1 - Math.abs(b)) * (a >= 0 ? 1 : -1);
    const nb = (1 - Math.abs(a)) * (b >= 0 ? 1 : -1);
    a = na;
    b = nb;
  }
  return unit([a, b, c]);
}

let normalTable = null;
// Entry 0 is (0, 0, 0), then 255 unit directions in 15 rings.
export function normalDirectionTable() {
  if (normalTable) return normalTable;
  const t = [[0, 0, 0]];
  for (let j = 0; j < 15; ++j) {
    const theta = f(f(f(14 - j) / 14) * f(3.1415927));
    const count = Math.max(1, Math.trunc(f(29 * f(Math.sin(theta)))));
    for (let k = 0; k < count && t.length < 256; ++k) {
      const phi = f(f(f(f(k / count) * 2) + 0.5) * f(3.1415927));
      const st = f(Math.sin(theta));
      t.push(unit([f(Math.cos(phi)) * st, f(Math.cos(theta)), f(Math.sin(phi)) * st]));
    }
  }
  normalTable = t;
  return t;
}

const word = (codes, o) => (codes[o] | (codes[o + 1] << 8) | (codes[o + 2] << 16) | (codes[o + 3] << 24)) >>> 0;

// The fields of code i, as quorvel_view reads them.
export function decodeSample(file, i) {
  const o = i * 16, c = file.codes;
  const w0 = word(c, o), w1 = word(c, o + 4), w2 = word(c, o + 8), w3 = word(c, o + 12);
  const s = {};
  if (file.cube) {
    s.colour = w0 & 0xffffff;
    s.alpha = w0 >>> 24;
    s.rightColour = (w1 ^ w0) & 0xffffff;
    s.camera = w1 >>> 24;
    s.normalCode = w2 & 0xffff;
    s.normal = cubeNormal(s.normalCode);
    s.depthCode = (w2 >>> 16) & 0x7fff;
    s.transparent = w2 >>> 31;
    const size = w3 & 31;
    s.plaqueWidth = (size % 3) + 1;
    s.plaqueHeight = (Math.floor(size / 3) % 3) + 1;
    s.level = Math.floor(size / 9);
    s.moving = (w3 >>> 5) & 1;
    s.cockpit = (w3 >>> 6) & 1;
    s.x = (w3 >>> 7) & 0x1fff;
    s.y = w3 >>> 20;
    s.motion1 = 0;
  } else {
    const flags = w0 >>> 24, index = w0 & 0xffffff;
    s.plaqueWidth = flags & 3;
    s.plaqueHeight = (flags >>> 4) & 3;
    s.level = ((flags >>> 2) & 1) | (((flags >>> 6) & 1) << 1);
    s.transparent = (flags >>> 3) & 1;
    s.cockpit = flags >>> 7;
    s.x = index % file.displayWidth;
    s.y = Math.floor(index / file.displayWidth);
    s.depthCode = w1 & 0x7fff;
    s.moving = (w1 >>> 15) & 1;
    s.camera = (w1 >>> 16) & 255;
    s.normalCode = w1 >>> 24;
    s.normal = normalDirectionTable()[s.normalCode];
    s.colour = w2 & 0xffffff;
    s.alpha = w2 >>> 24;
    s.rightColour = (w3 ^ w2) & 0xffffff;
    s.motion1 = w3 >>> 24;
  }
  s.depth = decodeDepthCode(s.depthCode);
  s.left = decodeColourCode(s.colour);
  s.right = decodeColourCode(s.rightColour);
  return s;
}

// The plaque of a decoded sample: centre and four corners around the quad,
// or null when it cannot be placed. footprintScale enlarges the quad
// around its centre to close hairline cracks between neighbours.
export function placePlaque(file, s, footprintScale = 1.05) {
  if (s.plaqueWidth === 0 || s.plaqueHeight === 0) return null;
  const t3 = file.cameraTable, ci = s.camera * 3;
  const camera = [t3[ci], t3[ci + 1], t3[ci + 2]];
  const depth = s.depth;
  const w = s.plaqueWidth, h = s.plaqueHeight;
  let centreDir, dirs;
  if (file.cube) {
    const face = (file.displayHeight >>> 1) >>> s.level;
    if (face === 0) return null;
    const cx = (s.x >> s.level) - ((w - 1) >> 1);
    const cy = (s.y >> s.level) - ((h - 1) >> 1);
    const iw = 1 / (3 * face), ih = 1 / (2 * face);
    centreDir = cubeMapDirection((cx + w * 0.5) * iw, (cy + h * 0.5) * ih);
    // Corners just inside the footprint, so that each stays on its own face.
    const e = 1e-3;
    const u0 = (cx + e) * iw, u1 = (cx + w - e) * iw, v0 = (cy + e) * ih, v1 = (cy + h - e) * ih;
    dirs = [cubeMapDirection(u0, v0), cubeMapDirection(u1, v0), cubeMapDirection(u1, v1), cubeMapDirection(u0, v1)];
  } else {
    const lw = file.displayWidth >> s.level, lh = file.displayHeight >> s.level;
    if (lw <= 0 || lh <= 0) return null;
    centreDir = latLongDirection(s.x >> s.level, s.y >> s.level, lw, lh);
    // A latitude-longitude cell spans about pi / rows each way.
    const helper = Math.abs(centreDir[1]) < 0.9 ? [0, 1, 0] : [1, 0, 0];
    const tu = unit(cross(helper, centreDir)), tv = cross(centreDir, tu);
    const half = Math.tan((PI / lh) * 0.5);
    const hu = half * w, hv = half * h;
    const corner = (a, b) => unit([0, 1, 2].map((k) => centreDir[k] + tu[k] * a + tv[k] * b));
    dirs = [corner(-hu, -hv), corner(hu, -hv), corner(hu, hv), corner(-hu, hv)];
  }
  const centre = [0, 1, 2].map((k) => camera[k] + centreDir[k] * depth);
  const n = s.normal;
  const hasNormal = dot(n, n) > 0.5;
  const corners = [];
  for (const dir of dirs) {
    // The footprint on the tangent plane; where the plane grazes the ray,
    // the footprint square to the line of sight instead.
    const facing = dot(dir, centreDir);
    let t = facing > 1e-3 ? depth / facing : depth;
    if (hasNormal) {
      const g = dot(dir, n);
      if (Math.abs(g) > 1e-4) {
        const tp = ((centre[0] - camera[0]) * n[0] + (centre[1] - camera[1]) * n[1] + (centre[2] - camera[2]) * n[2]) / g;
        if (Number.isFinite(tp) && tp > 0.25 * t && tp < 4 * t) t = tp;
      }
    }
    for (let k = 0; k < 3; ++k) {
      const c = centre[k] + (camera[k] + dir[k] * t - centre[k]) * footprintScale;
      if (!Number.isFinite(c)) return null;
      corners.push(c);
    }
  }
  return { centre, corners };
}

// Displacement over one frame of a moving sample at `centre`, from its
// motion code, in file units; null when it does not move.
export function motionDisplacement(file, s, i, centre) {
  if (!s.moving || !file.motion) return null;
  const m = file.motionValues;
  let c1, c2, c3;
  if (file.cube) {
    const o = i * 4, mc = file.motion;
    const code = (mc[o] | (mc[o + 1] << 8) | (mc[o + 2] << 16) | (mc[o + 3] << 24)) >>> 0;
    c1 = m[0] + (code & 4095) * m[3];
    c2 = m[1] + ((code >>> 12) & 4095) * m[4];
    const scale = m[2] * 1000, offset = m[5];
    c3 = scale * Math.pow((code >>> 24) - offset, 3);
  } else {
    const mc = file.motion;
    c1 = m[0] + s.motion1 * m[3];
    c2 = m[1] + mc[i * 2] * m[4];
    const scale = m[5], lo = m[2];
    const offset = -Math.cbrt(lo / scale);
    c3 = scale * Math.pow(mc[i * 2 + 1] - offset, 3);
  }
  // Spherical coordinates of the sample seen from the zone's origin, in
  // scene units, as the merger measured them.
  const box = file.boxMax.map((v) => v / 50);
  const p = [0, 1, 2].map((k) => centre[k] * 100 + file.camOffset[k] * 100 * box[k]);
  const r1 = Math.hypot(p[0], p[1], p[2]);
  if (!(r1 > 0)) return null;
  const theta1 = Math.acos(Math.max(-1, Math.min(1, p[1] / r1)));
  const phi1 = Math.atan2(p[2], p[0]);
  const r2 = r1 + c3 / 10;
  const theta2 = theta1 + c2;
  const phi2 = phi1 + c1 / Math.max(0.001, Math.sin(theta1));
  const q = [Math.cos(phi2) * Math.sin(theta2) * r2, Math.cos(theta2) * r2, Math.sin(phi2) * Math.sin(theta2) * r2];
  const out = [(q[0] - p[0]) / 100, (q[1] - p[1]) / 100, (q[2] - p[2]) / 100];
  return out.every(Number.isFinite) ? out : null;
}
