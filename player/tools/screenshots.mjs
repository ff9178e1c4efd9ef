// The README's pictures of the page: the centre, a corner and the stereo
// view of a final view file, with the page's controls and map.
//   node tools/screenshots.mjs FILE.qvl OUTPUT-FOLDER
import { chromium } from 'playwright-core';
import { spawn } from 'node:child_process';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';

const [file, out] = process.argv.slice(2);
if (!file || !out) {
  console.error('usage: node tools/screenshots.mjs FILE.qvl OUTPUT-FOLDER');
  process.exit(2);
}
const here = dirname(fileURLToPath(import.meta.url));
const server = spawn(process.execPath, [join(here, '..', 'serve.js'), file, '--port', '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
const url = await new Promise((ok) => server.stdout.on('data', (d) => {
  const m = String(d).match(/(http:\/\/127\.0\.0\.1:\d+\/\S*)/);
  if (m) ok(m[1]);
}));
const browser = await chromium.launch({ executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
  args: ['--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--ignore-gpu-blocklist'] });
try {
  const page = await browser.newPage({ viewport: { width: 720, height: 600 } });
  await page.goto(url);
  await page.evaluate(() => window.quorvel.ready);
  const views = [
    ['player-centre.png', { position: [0, 0, 0] }],
    ['player-corner.png', { position: [0.9, 0.8, 0.9], yaw: -35, pitch: -12, eye: 'right' }],
    ['player-stereo.png', { position: [0.3, 0, -0.4], yaw: 15, mode: 'stereo' }],
  ];
  for (const [name, view] of views) {
    await page.evaluate((v) => window.quorvel.render(v), view);
    await page.screenshot({ path: join(out, name) });
    console.log(join(out, name));
  }
} finally {
  await browser.close();
  server.kill();
}
