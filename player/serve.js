// A small static server for the player, bound to 127.0.0.1 only: the page
// at /, the chosen final view file or folder under /data/ (with an
// index.json of its .qvl files). Prints the page's address.
//   node serve.js [FILE-OR-FOLDER] [--port N]

import { createServer } from 'node:http';
import { createReadStream, statSync, readdirSync } from 'node:fs';
import { join, resolve, dirname, basename, extname, sep } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const args = process.argv.slice(2);
let port = 8765, target = null;
for (let i = 0; i < args.length; ++i) {
  if (args[i] === '--port') port = Number(args[++i]);
  else if (args[i] === '-h' || args[i] === '--help') {
    console.log('usage: node serve.js [FILE-OR-FOLDER] [--port N]');
    process.exit(0);
  } else target = resolve(args[i]);
}
if (!Number.isInteger(port) || port < 0 || port > 65535) {
  console.error(`serve.js: bad port ${port}`);
  process.exit(2);
}
let dataDir = null, query = '';
if (target) {
  let st;
  try {
    st = statSync(target);
  } catch {
    console.error(`serve.js: ${target}: no such file or folder`);
    process.exit(1);
  }
  if (st.isDirectory()) {
    dataDir = target;
    query = '?folder=data/';
  } else {
    dataDir = dirname(target);
    query = `?file=data/${encodeURIComponent(basename(target))}`;
  }
}

const types = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8', '.json': 'application/json',
  '.png': 'image/png', '.css': 'text/css', '.qvl': 'application/octet-stream' };

// The path under `root`, or null when it would leave it.
function within(root, path) {
  const full = resolve(join(root, path));
  return full === root || full.startsWith(root + sep) ? full : null;
}

const server = createServer((req, res) => {
  let path;
  try {
    path = decodeURIComponent(new URL(req.url, 'http://127.0.0.1').pathname);
  } catch {
    res.writeHead(400, { 'content-type': 'text/plain' });
    res.end('bad request\n');
    return;
  }
  let file = null;
  if (path.startsWith('/data/') && dataDir) {
    const rest = path.slice(6);
    if (rest === 'index.json') {
      const names = readdirSync(dataDir).filter((n) => /\.qvl$/i.test(n)).sort();
      res.writeHead(200, { 'content-type': types['.json'], 'cache-control': 'no-store' });
      res.end(JSON.stringify(names));
      return;
    }
    file = within(dataDir, rest);
  } else {
    if (path === '/') path = '/index.html';
    if (path.startsWith('/src/') || path === '/index.html') file = within(here, path);
  }
  let st = null;
  try {
    st = file && statSync(file);
  } catch {}
  if (!st || !st.isFile()) {
    res.writeHead(404, { 'content-type': 'text/plain' });
    res.end('not found\n');
    return;
  }
  res.writeHead(200, { 'content-type': types[extname(file)] ?? 'application/octet-stream', 'content-length': st.size, 'cache-control': 'no-store' });
  createReadStream(file).pipe(res);
});

// The first free port from the one asked for.
function listen(p, tries) {
  server.once('error', (err) => {
    if (err.code === 'EADDRINUSE' && tries > 0 && p !== 0) listen(p + 1, tries - 1);
    else {
      console.error(`serve.js: ${err.message}`);
      process.exit(1);
    }
  });
  server.listen(p, '127.0.0.1', () => {
    const address = `http://127.0.0.1:${server.address().port}/${query}`;
    console.log(`Quorvel player: ${address}`);
    if (!target) console.log('(no file given: open one on the page or drop it there)');
  });
}
listen(port, 20);
