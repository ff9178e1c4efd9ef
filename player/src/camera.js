// The eye's pinhole inside the zone of view, as quorvel_view places it:
// head position in -1..1 of the zone's faces, yaw (positive turns right),
// pitch (positive looks up), roll, and the eye half the IPD beside the head.
// Axes: x right, y up, z back of the render camera; units of the file
// (1 = 100 scene units).

const DEG = Math.PI / 180;

export function eyeCamera(halfExtent, { position = [0, 0, 0], yaw = 0, pitch = 0, roll = 0, eye = 'left', ipd = 63.5 } = {}) {
  const y = -yaw * DEG, p = pitch * DEG, r = roll * DEG;
  // Roll about the line of sight, then pitch about the right axis, then yaw
  // about the zone's up axis.
  const rotate = ([vx, vy, vz]) => {
    [vx, vy] = [vx * Math.cos(r) - vy * Math.sin(r), vx * Math.sin(r) + vy * Math.cos(r)];
    [vy, vz] = [vy * Math.cos(p) - vz * Math.sin(p), vy * Math.sin(p) + vz * Math.cos(p)];
    return [vx * Math.cos(y) + vz * Math.sin(y), vy, -vx * Math.sin(y) + vz * Math.cos(y)];
  };
  const right = rotate([1, 0, 0]), up = rotate([0, 1, 0]), back = rotate([0, 0, 1]);
  const head = position.map((v, k) => v * halfExtent[k]);
  // Half the IPD: millimetres / 20 scene units, a hundredth of that in file units.
  const half = ipd / 2000;
  const side = eye === 'right' ? half : -half;
  return { position: head.map((v, k) => v + right[k] * side), right, up, back };
}

// Column-major view matrix (zone to eye) of a camera.
export function viewMatrix({ position: e, right: r, up: u, back: b }) {
  const d = (a) => -(a[0] * e[0] + a[1] * e[1] + a[2] * e[2]);
  return new Float32Array([r[0], u[0], b[0], 0, r[1], u[1], b[1], 0, r[2], u[2], b[2], 0, d(r), d(u), d(b), 1]);
}

// Column-major perspective matrix from the tangents of the half angles.
export function projectionMatrix(tanX, tanY, near = 1e-3, far = 1e4) {
  const a = (far + near) / (near - far), c = (2 * far * near) / (near - far);
  return new Float32Array([1 / tanX, 0, 0, 0, 0, 1 / tanY, 0, 0, 0, 0, a, -1, 0, 0, c, 0]);
}

// Keeps a head position (-1..1 per axis) inside the zone of view.
export function clampToZone(position) {
  return position.map((v) => Math.max(-1, Math.min(1, v)));
}
