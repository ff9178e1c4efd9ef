import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { request } from 'node:http';
import { fileURLToPath } from 'node:url';

const serveJs = fileURLToPath(new URL('../serve.js', import.meta.url));
const fixtures = fileURLToPath(new URL('./fixtures', import.meta.url));

function get(port, path) {
  return new Promise((ok, fail) => {
    // Raw paths: the client must not tidy up the ".." or the bad escapes.
    const req = request({ host: '127.0.0.1', port, path, method: 'GET' }, (res) => {
      let body = '';
      res.on('data', (d) => (body += d));
      res.on('end', () => ok({ status: res.statusCode, type: res.headers['content-type'], body }));
    });
    req.on('error', fail);
    req.end();
  });
}

test('play.sh\'s server: localhost only, the page and the chosen folder, nothing else', { timeout: 20000 }, async () => {
  const child = spawn(process.execPath, [serveJs, fixtures, '--port', '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
  try {
    const url = await new Promise((ok) => {
      let out = '';
      child.stdout.on('data', (d) => {
        out += d;
        const m = out.match(/^Quorvel player: (http:\/\/127\.0\.0\.1:(\d+)\/\?folder=data\/)$/m);
        if (m) ok(m);
      });
    });
    const port = Number(url[2]);
    const page = await get(port, '/');
    assert.equal(page.status, 200);
    assert.match(page.body, /<canvas id="view">/);
    assert.equal((await get(port, '/src/player.js')).type, 'text/javascript; charset=utf-8');
    assert.deepEqual(JSON.parse((await get(port, '/data/index.json')).body), ['tiny_0001.qvl', 'tiny_0002.qvl']);
    assert.equal((await get(port, '/data/tiny_0002.qvl')).status, 200);
    for (const path of ['/data/../serve.js', '/src/../serve.js', '/data/..%2f..%2fserve.js', '/package.json', '/data/missing.qvl'])
      assert.equal((await get(port, path)).status, 404, path);
    assert.equal((await get(port, '/data/%E0%A4%A')).status, 400);
  } finally {
    child.kill();
  }
});
