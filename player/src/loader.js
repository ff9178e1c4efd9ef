// Where the files come from: a URL parameter (one file, a list, or a
// folder served with an index), the file picker, or drag and drop.

const isFinalView = (name) => /\.qvl$/i.test(name);
const byName = (a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0);

async function fetchBytes(url) {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${url}: ${response.status} ${response.statusText}`);
  return new Uint8Array(await response.arrayBuffer());
}

// Sources named by the page's URL: ?file=URL, ?files=URL,URL,... or
// ?folder=URL (its index.json, or the links of a directory listing).
export async function sourcesFromUrl(search) {
  const q = new URLSearchParams(search);
  if (q.get('file')) return [{ name: q.get('file'), load: () => fetchBytes(q.get('file')) }];
  if (q.get('files'))
    return q.get('files').split(',').filter(Boolean).map((u) => ({ name: u, load: () => fetchBytes(u) }));
  const folder = q.get('folder');
  if (!folder) return [];
  const base = folder.endsWith('/') ? folder : folder + '/';
  let names;
  const index = await fetch(base + 'index.json');
  if (index.ok) names = await index.json();
  else {
    const listing = await fetch(base);
    if (!listing.ok) throw new Error(`${base}: ${listing.status} ${listing.statusText}`);
    const html = await listing.text();
    names = [...html.matchAll(/href="([^"?#]+)"/g)].map((m) => decodeURIComponent(m[1]));
  }
  names = [...new Set(names.filter(isFinalView))].sort();
  if (names.length === 0) throw new Error(`${base}: no final view files (*.qvl)`);
  return names.map((n) => ({ name: n, load: () => fetchBytes(new URL(n, new URL(base, location.href)).href) }));
}

export function sourcesFromFiles(files) {
  return [...files].filter((f) => isFinalView(f.name)).sort(byName)
    .map((f) => ({ name: f.name, load: async () => new Uint8Array(await f.arrayBuffer()) }));
}

// Files of a drop, folders included (their .qvl files, sorted by name).
export async function sourcesFromDrop(dataTransfer) {
  const entries = [...dataTransfer.items].map((i) => i.webkitGetAsEntry?.()).filter(Boolean);
  if (entries.length === 0) return sourcesFromFiles(dataTransfer.files);
  const files = [];
  const walk = async (entry) => {
    if (entry.isFile) files.push(await new Promise((ok, fail) => entry.file(ok, fail)));
    else if (entry.isDirectory) {
      const reader = entry.createReader();
      for (;;) {
        const batch = await new Promise((ok, fail) => reader.readEntries(ok, fail));
        if (batch.length === 0) break;
        for (const e of batch) await walk(e);
      }
    }
  };
  for (const e of entries) await walk(e);
  return sourcesFromFiles(files);
}
