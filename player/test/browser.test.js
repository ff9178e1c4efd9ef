// The page in a real browser: headless Chromium (Debian's package, driven by
// playwright-core) loads the demo's final view file, draws fixed head
// positions, and each picture is compared with quorvel_view's picture of the
// same position. The pictures, the difference pictures and the measured
// times are kept in test-output/ (or QUORVEL_PLAYER_ARTEFACTS).
//
// Needs QUORVEL_DEMO_FILE (a final view file) and a built quorvel_view
// (QUORVEL_VIEW, else build/); skips with a message where they or Chromium
// are missing.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { existsSync, mkdirSync, writeFileSync, readdirSync, statSync, readFileSync } from 'node:fs';
import { join, basename, dirname } from 'node:path';
import { gzipSync } from 'node:zlib';

const here = dirname(new URL(import.meta.url).pathname);
const player = join(here, '..');
const root = join(player, '..');
const artefacts = process.env.QUORVEL_PLAYER_ARTEFACTS ?? join(player, 'test-output');
const demo = process.env.QUORVEL_DEMO_FILE;
const view = [process.env.QUORVEL_VIEW, join(root, 'build/quorvel_utilities/quorvel_view_utility/quorvel_view')].find((p) => p && existsSync(p));
const chromiumPath = process.env.CHROMIUM ?? ['/usr/bin/chromium', '/usr/bin/chromium-browser'].find((p) => existsSync(p));
const MIN_PSNR = 33;
const SIZE = 512;

// Fixed views: the centre, a corner of the zone looking back across it with
// the right eye, and both eyes side by side.
const VIEWS = [
  { name: 'centre', position: [0, 0, 0], yaw: 0, pitch: 0, eye: 'left' },
  { name: 'corner', position: [0.9, 0.8, 0.9], yaw: -35, pitch: -12, eye: 'right' },
  { name: 'low-left', position: [-1, -1, -0.5], yaw: 40, pitch: 8, eye: 'left' },
];

function skip(t, why) {
  console.log(`browser test skipped: ${why}`);
  t.skip(why);
}

async function serve(file) {
  const child = spawn(process.execPath, [join(player, 'serve.js'), file, '--port', '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
  const url = await new Promise((ok, fail) => {
    let out = '';
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/(http:\/\/127\.0\.0\.1:\d+\/\S*)/);
      if (m) ok(m[1]);
    });
    child.on('exit', (code) => fail(new Error(`serve.js exited with ${code}`)));
  });
  return { url, stop: () => child.kill() };
}

function compare(shot, v, diff, width = SIZE) {
  const args = [demo, '--size', `${width}x${SIZE}`, '--position', v.position.join(','), '--yaw', String(v.yaw),
    '--pitch', String(v.pitch), '--eye', v.eye, '-o', shot.replace(/\.png$/, '-quorvel_view.png'),
    '--compare', shot, '--side-by-side', diff];
  const out = execFileSync(view, args, { encoding: 'utf8' });
  const m = out.match(/PSNR ([\d.]+|inf) dB SSIM ([\d.]+)/);
  assert.ok(m, `quorvel_view printed no PSNR: ${out}`);
  return { psnr: m[1] === 'inf' ? Infinity : Number(m[1]), ssim: Number(m[2]) };
}

function pageSize() {
  const files = [join(player, 'index.html'), ...readdirSync(join(player, 'src')).map((n) => join(player, 'src', n))];
  let bytes = 0, gz = 0;
  for (const f of files) {
    const b = readFileSync(f);
    bytes += b.length;
    gz += gzipSync(b, { level: 9 }).length;
  }
  return { files: files.length, bytes, gzipBytes: gz };
}

const median = (a) => [...a].sort((x, y) => x - y)[Math.floor(a.length / 2)];

test('headless Chromium draws the demo as quorvel_view does', { timeout: 600000 }, async (t) => {
  if (!demo || !existsSync(demo)) return skip(t, 'no demo file (QUORVEL_DEMO_FILE); scripts/test-player.sh renders one');
  if (!view) return skip(t, 'quorvel_view is not built (build/ or QUORVEL_VIEW)');
  if (!chromiumPath) return skip(t, 'no Chromium (apt-get install -y chromium)');
  let chromium;
  try {
    ({ chromium } = await import('playwright-core'));
  } catch (err) {
    return skip(t, `playwright-core is not installed (npm ci in player/): ${err.message}`);
  }
  let browser;
  try {
    browser = await chromium.launch({ executablePath: chromiumPath,
      args: ['--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--ignore-gpu-blocklist'] });
  } catch (err) {
    return skip(t, `Chromium cannot start: ${err.message.split('\n')[0]}`);
  }
  mkdirSync(artefacts, { recursive: true });
  const server = await serve(demo);
  const figures = { file: basename(demo), fileBytes: statSync(demo).size, page: pageSize(), views: {} };
  try {
    const open = async (width, height, extra = '') => {
      const page = await browser.newPage({ viewport: { width, height } });
      const errors = [];
      page.on('pageerror', (e) => errors.push(e.message));
      const t0 = Date.now();
      await page.goto(`${server.url}&test=1&size=${width}x${height}${extra}`);
      try {
        await page.evaluate(() => window.quorvel.ready);
      } catch (err) {
        const msg = await page.locator('#message').textContent();
        throw new Error(`the page did not load the file: ${msg} ${errors.join('; ')}`);
      }
      return { page, readyMs: Date.now() - t0, errors };
    };

    const { page, readyMs, errors } = await open(SIZE, SIZE);
    figures.loadMs = await page.evaluate(() => window.quorvel.state.loadMs);
    figures.pageReadyMs = readyMs;
    const results = [];
    for (const v of VIEWS) {
      const times = [];
      for (let i = 0; i < 5; ++i) times.push((await page.evaluate((o) => window.quorvel.render(o), v)).frameMs);
      const shot = join(artefacts, `${v.name}.png`);
      await page.locator('#view').screenshot({ path: shot });
      const c = compare(shot, v, join(artefacts, `${v.name}-difference.png`));
      figures.views[v.name] = { ...c, frameMs: median(times) };
      results.push([v.name, c.psnr]);
    }
    // Stereo: each half against quorvel_view's picture of that eye.
    const stereo = { name: 'stereo', position: [0.3, 0, -0.4], yaw: 15, pitch: 0, mode: 'stereo' };
    await page.setViewportSize({ width: 2 * SIZE, height: SIZE });
    await page.evaluate(() => { document.getElementById('view').style.width = ''; });
    await page.close();
    const s = await open(2 * SIZE, SIZE);
    const times = [];
    for (let i = 0; i < 5; ++i) times.push((await s.page.evaluate((o) => window.quorvel.render(o), stereo)).frameMs);
    await s.page.locator('#view').screenshot({ path: join(artefacts, 'stereo.png') });
    for (const [eye, x] of [['left', 0], ['right', SIZE]]) {
      const shot = join(artefacts, `stereo-${eye}.png`);
      await s.page.screenshot({ path: shot, clip: { x, y: 0, width: SIZE, height: SIZE } });
      const c = compare(shot, { ...stereo, eye }, join(artefacts, `stereo-${eye}-difference.png`));
      figures.views[`stereo-${eye}`] = { ...c, frameMs: median(times) };
      results.push([`stereo-${eye}`, c.psnr]);
    }
    await s.page.close();

    // Frame time at quorvel_view's default size.
    const big = await open(1024, 1024);
    const bigTimes = [];
    for (let i = 0; i < 7; ++i) bigTimes.push((await big.page.evaluate((o) => window.quorvel.render(o), VIEWS[0])).frameMs);
    figures.frameMs1024 = median(bigTimes);
    await big.page.close();
    assert.deepEqual(errors, [], 'errors on the page');

    writeFileSync(join(artefacts, 'figures.json'), JSON.stringify(figures, null, 2) + '\n');
    console.log(`load ${figures.loadMs.toFixed(0)} ms (page ready ${figures.pageReadyMs} ms), ` +
      `frame ${figures.views.centre.frameMs.toFixed(1)} ms at ${SIZE}x${SIZE}, ${figures.frameMs1024.toFixed(1)} ms at 1024x1024; ` +
      `page ${figures.page.bytes} bytes (${figures.page.gzipBytes} gzipped)`);
    for (const [name, psnr] of results) console.log(`${name}: PSNR ${psnr} dB against quorvel_view`);
    for (const [name, psnr] of results) assert.ok(psnr >= MIN_PSNR, `${name}: PSNR ${psnr} dB, below ${MIN_PSNR} dB`);
  } finally {
    server.stop();
    await browser.close();
  }
});

// Needs Chromium only: the committed frames of the tiny scene.
test('a folder plays as a sequence, and a bad file is refused on the page', { timeout: 120000 }, async (t) => {
  if (!chromiumPath) return skip(t, 'no Chromium (apt-get install -y chromium)');
  let chromium, browser;
  try {
    ({ chromium } = await import('playwright-core'));
    browser = await chromium.launch({ executablePath: chromiumPath, args: ['--use-angle=swiftshader', '--enable-unsafe-swiftshader'] });
  } catch (err) {
    return skip(t, `Chromium cannot start: ${err.message.split('\n')[0]}`);
  }
  const fixtures = join(here, 'fixtures');
  const server = await serve(fixtures);
  try {
    const page = await browser.newPage({ viewport: { width: 400, height: 300 } });
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    await page.goto(server.url);
    await page.evaluate(() => window.quorvel.ready);
    const loaded = await page.evaluate(() => window.quorvel.state.frames.map((f) => f.name));
    assert.deepEqual(loaded, ['tiny_0001.qvl', 'tiny_0002.qvl']);
    // It plays: the frame shown changes on its own.
    await page.waitForFunction(() => window.quorvel.state.frame === 1, null, { timeout: 30000 });
    assert.match(await page.locator('#stats').textContent(), /frame [12]\/2 · load \d+ ms · frame time [\d.]+ ms/);

    // Held inside the zone: walking forward for long stops at its face.
    await page.keyboard.down('KeyW');
    await page.waitForFunction(() => window.quorvel.state.position[2] === -1, null, { timeout: 30000 });
    await page.keyboard.up('KeyW');

    // The file picker, with a file that is not a final view file.
    await page.locator('#open').setInputFiles({ name: 'broken.qvl', mimeType: 'application/octet-stream', buffer: Buffer.alloc(300, 7) });
    await page.waitForFunction(() => document.getElementById('message').className === 'error', null, { timeout: 30000 });
    assert.equal(await page.locator('#message').textContent(), 'broken.qvl: not a final view file (wrong magic)');
    // What was shown stays.
    assert.equal(await page.evaluate(() => window.quorvel.state.frames.length), 2);
    assert.deepEqual(errors, []);
  } finally {
    server.stop();
    await browser.close();
  }
});
