// The page: loads final view files, keeps the head inside the zone of view,
// and draws one eye, both side by side, or a WebXR headset's views.

import { parseFinalView } from './finalview.js';
import { buildScene } from './scene.js';
import { eyeCamera, viewMatrix, projectionMatrix, clampToZone } from './camera.js';
import { Renderer } from './renderer.js';
import { sourcesFromUrl, sourcesFromFiles, sourcesFromDrop } from './loader.js';

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);

const state = {
  frames: [], // scenes, in file order
  frame: 0,
  playing: true,
  fps: Number(params.get('fps')) || 24,
  clock: 0,
  position: [0, 0, 0],
  yaw: 0,
  pitch: 0,
  eye: params.get('eye') === 'right' ? 'right' : 'left',
  mode: params.get('mode') === 'stereo' ? 'stereo' : 'mono',
  fov: Number(params.get('fov')) || 90,
  ipd: 63.5,
  blend: params.has('blend') ? Number(params.get('blend')) : 2,
  loadMs: 0,
  frameMs: [],
  dirty: true,
  xr: null,
};

const canvas = $('view');
const fixedSize = params.get('size')?.match(/^(\d+)x(\d+)$/);
const gl = canvas.getContext('webgl2', { antialias: false, preserveDrawingBuffer: true, alpha: false, depth: false, xrCompatible: true });
let renderer = null;

function message(text, isError = false) {
  const m = $('message');
  m.textContent = text;
  m.className = isError ? 'error' : '';
}

function showStats() {
  const scene = state.frames[state.frame];
  const ms = state.frameMs.length ? state.frameMs.reduce((a, b) => a + b, 0) / state.frameMs.length : 0;
  $('stats').textContent = scene
    ? `${scene.count} plaques (${scene.count - scene.opaqueCount} transparent, ${scene.moving} moving) · ` +
      `frame ${state.frame + 1}/${state.frames.length} · load ${state.loadMs.toFixed(0)} ms · frame time ${ms.toFixed(1)} ms`
    : 'no file';
  const p = state.position;
  $('pose').textContent = `head ${p.map((v) => v.toFixed(2)).join(', ')} · yaw ${state.yaw.toFixed(0)}° · pitch ${state.pitch.toFixed(0)}° · ${state.mode === 'stereo' ? 'stereo' : state.eye + ' eye'}`;
}

// Top view of the zone of view: x to the right, z (back) downwards.
function drawMap() {
  const m = $('map'), c = m.getContext('2d');
  const w = m.width, h = m.height, pad = 8;
  c.clearRect(0, 0, w, h);
  const scene = state.frames[state.frame];
  const he = scene ? scene.halfExtent : [0.5, 0.5, 0.5];
  const s = Math.min((w - 2 * pad) / (2 * he[0]), (h - 2 * pad) / (2 * he[2]));
  const cx = w / 2, cy = h / 2;
  c.strokeStyle = '#8ab';
  c.strokeRect(cx - he[0] * s, cy - he[2] * s, 2 * he[0] * s, 2 * he[2] * s);
  const hx = cx + state.position[0] * he[0] * s, hy = cy + state.position[2] * he[2] * s;
  const yaw = (state.yaw * Math.PI) / 180;
  const half = (state.fov * Math.PI) / 360;
  c.fillStyle = 'rgba(255, 220, 120, 0.35)';
  c.beginPath();
  c.moveTo(hx, hy);
  c.arc(hx, hy, 24, -Math.PI / 2 + yaw - half, -Math.PI / 2 + yaw + half);
  c.closePath();
  c.fill();
  c.fillStyle = '#fd7';
  c.beginPath();
  c.arc(hx, hy, 3.5, 0, 2 * Math.PI);
  c.fill();
  c.fillStyle = '#8ab';
  c.font = '10px sans-serif';
  c.fillText(`y ${state.position[1].toFixed(2)}`, 4, h - 4);
}

function cameraFor(eye, aspect) {
  const scene = state.frames[state.frame];
  const cam = eyeCamera(scene.halfExtent, { position: state.position, yaw: state.yaw, pitch: state.pitch, eye, ipd: state.ipd });
  const tanX = Math.tan((state.fov * Math.PI) / 360);
  return { view: viewMatrix(cam), projection: projectionMatrix(tanX, tanX / aspect) };
}

function motionTime() {
  const scene = state.frames[state.frame];
  if (!scene || !scene.moving) return 0;
  // Between two frames the samples move along their motion vectors.
  return state.clock * state.fps - Math.floor(state.clock * state.fps);
}

function drawDesktop() {
  const scene = state.frames[state.frame];
  if (!scene || !renderer) return;
  const W = canvas.width, H = canvas.height;
  const t0 = performance.now();
  const mt = motionTime();
  if (state.mode === 'stereo') {
    const half = Math.floor(W / 2);
    for (const [eye, x] of [['left', 0], ['right', half]]) {
      const { view, projection } = cameraFor(eye, half / H);
      renderer.drawView(scene, { view, projection, rightEye: eye === 'right', viewport: [x, 0, half, H], motionTime: mt, blend: state.blend });
    }
  } else {
    const { view, projection } = cameraFor(state.eye, W / H);
    renderer.drawView(scene, { view, projection, rightEye: state.eye === 'right', viewport: [0, 0, W, H], motionTime: mt, blend: state.blend });
  }
  // Waits for the GPU, so that the time is the frame's and not the queue's.
  gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, new Uint8Array(4));
  const ms = performance.now() - t0;
  state.frameMs.push(ms);
  if (state.frameMs.length > 30) state.frameMs.shift();
  return ms;
}

function resize() {
  if (fixedSize) {
    canvas.width = Number(fixedSize[1]);
    canvas.height = Number(fixedSize[2]);
    canvas.style.width = `${canvas.width}px`;
    canvas.style.height = `${canvas.height}px`;
  } else {
    const r = canvas.getBoundingClientRect();
    canvas.width = Math.max(16, Math.round(r.width * devicePixelRatio));
    canvas.height = Math.max(16, Math.round(r.height * devicePixelRatio));
  }
  state.dirty = true;
}

// Head movement: metres-like units of the zone (1 = the box's half width) per second.
const keys = new Set();
const SPEED = 0.6;
let last = performance.now();
function tick(now) {
  const dt = Math.min(0.1, (now - last) / 1000);
  last = now;
  if (keys.size) {
    const yaw = (state.yaw * Math.PI) / 180;
    const fwd = [Math.sin(yaw), 0, -Math.cos(yaw)], right = [Math.cos(yaw), 0, Math.sin(yaw)];
    const move = [0, 0, 0];
    const add = (v, s) => v.forEach((x, k) => (move[k] += x * s));
    if (keys.has('KeyW')) add(fwd, 1);
    if (keys.has('KeyS')) add(fwd, -1);
    if (keys.has('KeyD')) add(right, 1);
    if (keys.has('KeyA')) add(right, -1);
    if (keys.has('KeyR') || keys.has('Space')) move[1] += 1;
    if (keys.has('KeyF') || keys.has('ShiftLeft')) move[1] -= 1;
    if (keys.has('ArrowLeft')) state.yaw -= 60 * dt;
    if (keys.has('ArrowRight')) state.yaw += 60 * dt;
    if (keys.has('ArrowUp')) state.pitch = Math.min(89, state.pitch + 60 * dt);
    if (keys.has('ArrowDown')) state.pitch = Math.max(-89, state.pitch - 60 * dt);
    const he = state.frames[state.frame]?.halfExtent ?? [0.5, 0.5, 0.5];
    state.position = clampToZone(state.position.map((p, k) => p + (move[k] * SPEED * dt) / (2 * he[k])));
    state.dirty = true;
  }
  if (state.playing && state.frames.length > 0 && (state.frames.length > 1 || state.frames[0].moving)) {
    state.clock += dt;
    const f = Math.floor(state.clock * state.fps) % state.frames.length;
    if (f !== state.frame) state.frame = f;
    state.dirty = true;
  }
  if (state.dirty && !state.xr && !params.has('test')) {
    drawDesktop();
    drawMap();
    showStats();
    state.dirty = false;
  }
  requestAnimationFrame(tick);
}

async function decodeBackground(scene) {
  const png = scene.background;
  if (!png || typeof createImageBitmap !== 'function') return null;
  try {
    return await createImageBitmap(new Blob([png], { type: 'image/png' }), { premultiplyAlpha: 'none', colorSpaceConversion: 'none' });
  } catch {
    return null;
  }
}

// Loads every source, the first shown as soon as it is ready.
async function load(sources) {
  if (sources.length === 0) return;
  const t0 = performance.now();
  const previous = state.frames;
  message(`loading ${sources.length} file${sources.length > 1 ? 's' : ''}…`);
  try {
    const parsed = [];
    for (const source of sources) {
      const bytes = await source.load();
      const file = await parseFinalView(bytes, source.name);
      const scene = buildScene(file);
      if (renderer) renderer.upload(scene);
      parsed.push(scene);
      if (parsed.length === 1) {
        // What was shown stays until the first new file is good.
        for (const s of previous) renderer?.release(s);
        renderer?.setBackground(await decodeBackground(scene));
        state.frames = parsed;
        state.frame = 0;
        state.clock = 0;
        drawDesktop();
        state.loadMs = performance.now() - t0;
      }
    }
    state.frames = parsed;
    state.dirty = true;
    message(`${sources.length} file${sources.length > 1 ? 's' : ''} loaded in ${(performance.now() - t0).toFixed(0)} ms (first frame shown after ${state.loadMs.toFixed(0)} ms)`);
    showStats();
    drawMap();
  } catch (err) {
    message(err.message, true);
    throw err;
  }
}

async function startXR() {
  const session = await navigator.xr.requestSession('immersive-vr');
  await gl.makeXRCompatible();
  const layer = new XRWebGLLayer(session, gl);
  session.updateRenderState({ baseLayer: layer, depthNear: 1e-3, depthFar: 1e4 });
  const space = await session.requestReferenceSpace('local');
  state.xr = session;
  const start = state.position.slice();
  session.addEventListener('end', () => {
    state.xr = null;
    state.dirty = true;
  });
  const onFrame = (time, frame) => {
    session.requestAnimationFrame(onFrame);
    const scene = state.frames[state.frame];
    const pose = frame.getViewerPose(space);
    if (!scene || !pose) return;
    // The headset moves in metres, which are the file's units; the head
    // starts where the desktop view was and stays inside the zone.
    const he = scene.halfExtent;
    const p = pose.transform.position;
    const raw = [p.x / he[0] + start[0], p.y / he[1] + start[1], p.z / he[2] + start[2]];
    state.position = clampToZone(raw);
    const shift = [0, 1, 2].map((k) => (start[k] - raw[k] + state.position[k] - start[k]) * he[k] + start[k] * he[k]);
    for (const view of pose.views) {
      const vp = layer.getViewport(view);
      const m = view.transform.inverse.matrix;
      // view * translate(-shift): moves the eye by `shift` in zone units.
      const v = Float32Array.from(m);
      for (let r = 0; r < 3; ++r) v[12 + r] -= m[r] * shift[0] + m[4 + r] * shift[1] + m[8 + r] * shift[2];
      renderer.drawView(scene, { view: v, projection: view.projectionMatrix, rightEye: view.eye === 'right',
        viewport: [vp.x, vp.y, vp.width, vp.height], output: layer.framebuffer, motionTime: motionTime(), blend: state.blend });
    }
  };
  session.requestAnimationFrame(onFrame);
}

function setupControls() {
  // load() shows its errors on the page; the promise is only for scripts.
  const quiet = (p) => p.catch(() => {});
  $('open').addEventListener('change', (e) => quiet(load(sourcesFromFiles(e.target.files))));
  $('openFolder').addEventListener('change', (e) => quiet(load(sourcesFromFiles(e.target.files))));
  document.addEventListener('dragover', (e) => e.preventDefault());
  document.addEventListener('drop', async (e) => {
    e.preventDefault();
    quiet(sourcesFromDrop(e.dataTransfer).then(load));
  });
  $('mode').value = state.mode;
  $('eye').value = state.eye;
  $('fov').value = state.fov;
  $('mode').addEventListener('change', (e) => { state.mode = e.target.value; state.dirty = true; });
  $('eye').addEventListener('change', (e) => { state.eye = e.target.value; state.dirty = true; });
  $('fov').addEventListener('change', (e) => { state.fov = Math.min(150, Math.max(20, Number(e.target.value) || 90)); state.dirty = true; });
  $('play').addEventListener('click', () => { state.playing = !state.playing; $('play').textContent = state.playing ? 'Pause' : 'Play'; });
  $('centre').addEventListener('click', () => { state.position = [0, 0, 0]; state.yaw = state.pitch = 0; state.dirty = true; });
  let drag = null;
  canvas.addEventListener('pointerdown', (e) => { drag = [e.clientX, e.clientY]; canvas.setPointerCapture(e.pointerId); });
  canvas.addEventListener('pointerup', () => (drag = null));
  canvas.addEventListener('pointermove', (e) => {
    if (!drag) return;
    const k = state.fov / canvas.clientWidth;
    state.yaw += (e.clientX - drag[0]) * k;
    state.pitch = Math.max(-89, Math.min(89, state.pitch - (e.clientY - drag[1]) * k));
    drag = [e.clientX, e.clientY];
    state.dirty = true;
  });
  window.addEventListener('keydown', (e) => {
    if (e.target.tagName === 'INPUT' || e.target.tagName === 'SELECT') return;
    if (e.code === 'Digit1') { state.eye = 'left'; $('eye').value = 'left'; }
    if (e.code === 'Digit2') { state.eye = 'right'; $('eye').value = 'right'; }
    if (e.code === 'KeyV') { state.mode = state.mode === 'stereo' ? 'mono' : 'stereo'; $('mode').value = state.mode; }
    if (e.code === 'KeyP') $('play').click();
    keys.add(e.code);
    state.dirty = true;
  });
  window.addEventListener('keyup', (e) => keys.delete(e.code));
  window.addEventListener('blur', () => keys.clear());
  window.addEventListener('resize', resize);
  if (navigator.xr?.isSessionSupported) {
    navigator.xr.isSessionSupported('immersive-vr').then((ok) => {
      if (!ok) return;
      $('vr').hidden = false;
      $('vr').addEventListener('click', () => startXR().catch((err) => message(`WebXR: ${err.message}`, true)));
    }).catch(() => {});
  }
}

// For scripted use (the browser test): draws one fixed view and reports
// how long it took.
window.quorvel = {
  state,
  render({ position = [0, 0, 0], yaw = 0, pitch = 0, eye = 'left', mode = 'mono', fov = 90, frame = 0, motionTime = 0 } = {}) {
    Object.assign(state, { position, yaw, pitch, eye, mode, fov, frame, playing: false });
    state.clock = (frame + motionTime) / state.fps;
    $('mode').value = mode;
    $('eye').value = eye;
    $('fov').value = fov;
    $('play').textContent = 'Play';
    const ms = drawDesktop();
    drawMap();
    showStats();
    return { frameMs: ms, loadMs: state.loadMs };
  },
};

async function main() {
  if (!gl) {
    message('This browser has no WebGL2.', true);
    window.quorvel.ready = Promise.reject(new Error('no WebGL2'));
    return;
  }
  try {
    renderer = new Renderer(gl);
  } catch (err) {
    message(err.message, true);
    window.quorvel.ready = Promise.reject(err);
    return;
  }
  if (params.has('test')) document.body.classList.add('test');
  resize();
  setupControls();
  requestAnimationFrame(tick);
  window.quorvel.ready = (async () => load(await sourcesFromUrl(location.search)))();
  window.quorvel.ready.catch((err) => message(err.message, true));
}

main();
