'use strict';
// Origin servers for the gateway, end-to-end and load tests: a plain HTTP server and an HTTPS
// server (for CONNECT tunnels) on loopback, both serving the same fixed files. Node built-ins
// only.
//
//   node tests/e2e/origin.js [--host ADDR] [--http-port N] [--https-port N]
//                            [--cert FILE --key FILE]
//
//   --host ADDR             listen address (default 127.0.0.1)
//   --http-port N           plain HTTP port; 0 (the default) picks a free one
//   --https-port N          HTTPS port; 0 (the default) picks a free one
//   --cert FILE --key FILE  certificate and key of the HTTPS server (PEM); without them a
//                           self-signed pair is made with openssl at start
//
// Prints exactly one line once both listen: {"http":PORT,"https":PORT}. Ends on SIGTERM or
// SIGINT, and when its parent process goes away.
//
// Routes, the same on both servers:
//   GET /text        a text page (text/html)
//   GET /big.bin     10 MB of deterministic bytes (application/octet-stream)
//   GET /image.png   a small real PNG image (image/png), with "cache-control: no-transform" so
//                    that a compressing gateway hands it on byte for byte
//   GET /cookies     a short text/plain body with two set-cookie headers
//   GET /size/N      N deterministic bytes (application/octet-stream), N up to 64 MB
//   GET /repeat/N    N bytes of /big.bin over and over (application/octet-stream), streamed as
//                    the client takes them, for replies larger than memory should hold
//   GET /chunked     the text page sent with chunked transfer-encoding
//   GET /echo-head   the request line and header lines as received (text/plain)
//   GET /pages/index.txt       the names of the test pages, one a line
//   GET /pages/NAME.html       a test page (pages/NAME.html)
//   GET /pages/NAME.list       what loading that page fetches, one line per file, the page
//                              first: "PATH CONTENT-TYPE SIZE SHA256"
//   GET <a path of pages/pages.json>  a real asset: a file of an npm package of
//                              pages/package-lock.json or of a Debian package (503 and a text
//                              saying what to install when it is missing)
//   POST or PUT      any path: the request body echoed back (Content-Length or chunked in)
//   anything else    404 with a short text body
// Every reply carries "x-body-sha256" (hex SHA-256 of the body) and "x-path" (the path asked
// for, query included), and no Date header, so replies are byte-for-byte repeatable.
const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const https = require('https');
const os = require('os');
const path = require('path');
const zlib = require('zlib');
const {execFileSync} = require('child_process');

function parseFlags(argv) {
  const flags = {host: '127.0.0.1', 'http-port': 0, 'https-port': 0};
  for (let i = 0; i < argv.length; i += 2) {
    const name = argv[i].replace(/^--/, '');
    const value = argv[i + 1];
    if (!(name in flags) && name !== 'cert' && name !== 'key')
      usage('unknown flag ' + argv[i]);
    if (value === undefined)
      usage('missing value for ' + argv[i]);
    flags[name] = /port$/.test(name) ? Number(value) : value;
  }
  if ((flags.cert === undefined) !== (flags.key === undefined))
    usage('--cert and --key go together');
  return flags;
}

function usage(message) {
  console.error('origin: ' + message + ' (see the comment at the top of origin.js)');
  process.exit(2);
}

const flags = parseFlags(process.argv.slice(2));

// xorshift32 from a fixed seed: the same bytes in every run, for any length.
function deterministicBytes(n) {
  const out = Buffer.alloc(n);
  let x = 0x9e3779b9;
  for (let i = 0; i < n; i++) {
    x ^= x << 13;
    x >>>= 0;
    x ^= x >>> 17;
    x ^= x << 5;
    x >>>= 0;
    out[i] = x & 0xff;
  }
  return out;
}

const CRC_TABLE = (() => {
  const t = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++)
      c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    t[n] = c >>> 0;
  }
  return t;
})();

function crc32(buf) {
  let c = 0xffffffff;
  for (const b of buf)
    c = CRC_TABLE[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function pngChunk(type, data) {
  const len = Buffer.alloc(4);
  len.writeUInt32BE(data.length);
  const td = Buffer.concat([Buffer.from(type, 'latin1'), data]);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(td));
  return Buffer.concat([len, td, crc]);
}

// A 48 x 32 RGB gradient.
function makePng() {
  const w = 48;
  const h = 32;
  const raw = Buffer.alloc((w * 3 + 1) * h);
  for (let y = 0; y < h; y++) {
    const row = y * (w * 3 + 1);
    raw[row] = 0;  // filter: none
    for (let x = 0; x < w; x++) {
      raw[row + 1 + x * 3] = (x * 255 / (w - 1)) | 0;
      raw[row + 2 + x * 3] = (y * 255 / (h - 1)) | 0;
      raw[row + 3 + x * 3] = 128;
    }
  }
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(w, 0);
  ihdr.writeUInt32BE(h, 4);
  ihdr[8] = 8;  // bit depth
  ihdr[9] = 2;  // colour type: RGB
  return Buffer.concat([
    Buffer.from('89504e470d0a1a0a', 'hex'), pngChunk('IHDR', ihdr),
    pngChunk('IDAT', zlib.deflateSync(raw)), pngChunk('IEND', Buffer.alloc(0))
  ]);
}

function makeText() {
  const lines = ['<!DOCTYPE html>', '<html><head><title>quorvin origin</title></head><body>'];
  for (let i = 1; i <= 60; i++) {
    lines.push('<p>Line ' + i + ' of the origin text page, the same in every run.</p>');
  }
  lines.push('</body></html>', '');
  return Buffer.from(lines.join('\n'));
}

// The test pages: pages.json maps each served path to the file a package ships.
const PAGES_DIR = path.join(__dirname, 'pages');
const PAGES = JSON.parse(fs.readFileSync(path.join(PAGES_DIR, 'pages.json'), 'utf8'));
const TYPES = {
  '.html': 'text/html; charset=utf-8', '.css': 'text/css', '.js': 'application/javascript',
  '.json': 'application/json', '.svg': 'image/svg+xml', '.jpg': 'image/jpeg', '.png': 'image/png',
  '.webp': 'image/webp', '.woff2': 'font/woff2', '.txt': 'text/plain; charset=utf-8',
};
const pageFiles = new Map();  // path -> {file, type, missing}
for (const [name, files] of Object.entries(PAGES.pages)) {
  pageFiles.set('/pages/' + name + '.html', {file: path.join(PAGES_DIR, name + '.html')});
  for (const p of files) {
    if (!PAGES.files[p]) throw new Error('pages.json: page ' + name + ' lists unknown ' + p);
  }
}
for (const [p, source] of Object.entries(PAGES.files)) {
  pageFiles.set(p, source.npm ?
    {file: path.join(PAGES_DIR, 'node_modules', source.npm),
     missing: 'npm ci in tests/e2e/pages'} :
    {file: source.file, missing: 'the Debian package ' + source.deb});
}
for (const entry of pageFiles.values())
  entry.type = TYPES[path.extname(entry.file)] || 'application/octet-stream';
// Read once, on first use.
const pageBodies = new Map();
function pageBody(p) {
  if (!pageBodies.has(p)) {
    const entry = pageFiles.get(p);
    try {
      const body = fs.readFileSync(entry.file);
      pageBodies.set(p, {body, digest: sha256(body), type: entry.type});
    } catch (e) {
      return {error: 'missing ' + entry.file + ': install ' + (entry.missing || 'it') + '\n'};
    }
  }
  return pageBodies.get(p);
}
function pageList(name) {
  const lines = [];
  for (const p of ['/pages/' + name + '.html'].concat(PAGES.pages[name])) {
    const b = pageBody(p);
    if (b.error) return b;
    lines.push([p, b.type.replace(/ /g, ''), b.body.length, b.digest].join(' '));
  }
  return {body: Buffer.from(lines.join('\n') + '\n')};
}

const TEXT = makeText();
const BIG = deterministicBytes(10 * 1024 * 1024);
const PNG = makePng();
const MAX_SIZE = 64 * 1024 * 1024;

function sha256(buf) { return crypto.createHash('sha256').update(buf).digest('hex'); }
const DIGESTS = new Map([[TEXT, sha256(TEXT)], [BIG, sha256(BIG)], [PNG, sha256(PNG)]]);

// /size/N is the first N bytes of BIG (the same stream from the same seed): a slice and a
// remembered digest keep the origin cheap under load.
const SIZE_DIGESTS = new Map();
function sizeBody(n) {
  if (n > BIG.length) return { body: deterministicBytes(n) };
  const body = BIG.subarray(0, n);
  let digest = SIZE_DIGESTS.get(n);
  if (digest === undefined) {
    if (SIZE_DIGESTS.size >= 100000) SIZE_DIGESTS.clear();
    digest = sha256(body);
    SIZE_DIGESTS.set(n, digest);
  }
  return { body, digest };
}

// /repeat/N: BIG over and over; each length's digest is worked out once.
const REPEAT_DIGESTS = new Map();
function repeatDigest(n) {
  let digest = REPEAT_DIGESTS.get(n);
  if (digest === undefined) {
    const hash = crypto.createHash('sha256');
    for (let at = 0; at < n; at += BIG.length) hash.update(BIG.subarray(0, Math.min(BIG.length, n - at)));
    digest = hash.digest('hex');
    REPEAT_DIGESTS.set(n, digest);
  }
  return digest;
}

function sendRepeated(res, req, n) {
  res.sendDate = false;
  res.writeHead(200, {
    'content-type': 'application/octet-stream',
    'content-length': String(n),
    'x-body-sha256': repeatDigest(n),
    'x-path': req.url,
  });
  let at = 0;
  const more = () => {
    while (at < n) {
      const off = at % BIG.length;
      const piece = BIG.subarray(off, off + Math.min(256 * 1024, BIG.length - off, n - at));
      at += piece.length;
      if (!res.write(piece)) return res.once('drain', more);
    }
    res.end();
  };
  res.on('close', () => { at = n; });
  more();
}

function send(res, req, status, type, body, extra, digest) {
  res.sendDate = false;
  res.writeHead(
      status,
      Object.assign(
          {
            'content-type': type,
            'content-length': String(body.length),
            'x-body-sha256': digest || DIGESTS.get(body) || sha256(body),
            'x-path': req.url,
          },
          extra || {}));
  res.end(req.method === 'HEAD' ? undefined : body);
}

function handle(req, res) {
  if (req.method === 'POST' || req.method === 'PUT') {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => send(res, req, 200, 'application/octet-stream', Buffer.concat(chunks)));
    return;
  }
  const pathname = req.url.split('?')[0];
  const size = /^\/size\/(\d+)$/.exec(pathname);
  const repeat = /^\/repeat\/(\d+)$/.exec(pathname);
  const list = /^\/pages\/([a-z0-9-]+)\.list$/.exec(pathname);
  if (pageFiles.has(pathname)) {
    const b = pageBody(pathname);
    if (b.error) send(res, req, 503, 'text/plain', Buffer.from(b.error));
    else send(res, req, 200, b.type, b.body, undefined, b.digest);
  } else if (list && PAGES.pages[list[1]]) {
    const b = pageList(list[1]);
    if (b.error) send(res, req, 503, 'text/plain', Buffer.from(b.error));
    else send(res, req, 200, 'text/plain', b.body);
  } else if (pathname === '/pages/index.txt') {
    send(res, req, 200, 'text/plain', Buffer.from(Object.keys(PAGES.pages).join('\n') + '\n'));
  } else if (pathname === '/text') {
    send(res, req, 200, 'text/html', TEXT);
  } else if (pathname === '/big.bin') {
    send(res, req, 200, 'application/octet-stream', BIG);
  } else if (pathname === '/image.png') {
    send(res, req, 200, 'image/png', PNG, {'cache-control': 'no-transform'});
  } else if (pathname === '/cookies') {
    send(res, req, 200, 'text/plain', Buffer.from('two cookies\n'), {'set-cookie': ['a=1', 'b=2']});
  } else if (size && Number(size[1]) <= MAX_SIZE) {
    const sized = sizeBody(Number(size[1]));
    send(res, req, 200, 'application/octet-stream', sized.body, undefined, sized.digest);
  } else if (repeat && req.method !== 'HEAD') {
    sendRepeated(res, req, Number(repeat[1]));
  } else if (pathname === '/chunked') {
    res.sendDate = false;
    res.writeHead(200, {
      'content-type': 'text/html',
      'transfer-encoding': 'chunked',
      'x-body-sha256': DIGESTS.get(TEXT),
      'x-path': req.url
    });
    for (let at = 0; at < TEXT.length; at += 1000)
      res.write(TEXT.subarray(at, at + 1000));
    res.end();
  } else if (pathname === '/echo-head') {
    const lines = [req.method + ' ' + req.url + ' HTTP/' + req.httpVersion];
    for (let i = 0; i < req.rawHeaders.length; i += 2) {
      lines.push(req.rawHeaders[i] + ': ' + req.rawHeaders[i + 1]);
    }
    send(res, req, 200, 'text/plain', Buffer.from(lines.join('\r\n') + '\r\n'));
  } else {
    send(res, req, 404, 'text/plain', Buffer.from('not found: ' + pathname + '\n'));
  }
}

function makeCertificate() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qv-origin-'));
  try {
    const key = path.join(dir, 'key.pem');
    const cert = path.join(dir, 'cert.pem');
    execFileSync(
        'openssl',
        [
          'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
          '-keyout', key, '-out', cert, '-days', '30', '-subj', '/CN=localhost', '-addext',
          'subjectAltName=DNS:localhost,IP:127.0.0.1'
        ],
        {stdio: ['ignore', 'ignore', 'pipe']});
    return {key: fs.readFileSync(key), cert: fs.readFileSync(cert)};
  } finally {
    fs.rmSync(dir, {recursive: true, force: true});
  }
}

const pair = flags.cert ? {key: fs.readFileSync(flags.key), cert: fs.readFileSync(flags.cert)} :
                          makeCertificate();
const plain = http.createServer(handle);
const secure = https.createServer(pair, handle);
for (const s of [plain, secure]) {
  s.keepAliveTimeout = 5000;
  s.on('error', (e) => {
    console.error('origin: ' + e.message);
    process.exit(1);
  });
}
// Load runs open a thousand connections in one burst (the gateway's fetches and the tunnels);
// Node's default backlog of 511 would let the kernel reset some of them.
const kBacklog = 4096;
plain.listen(flags['http-port'], flags.host, kBacklog, () => {
  secure.listen(flags['https-port'], flags.host, kBacklog, () => {
    process.stdout.write(
        JSON.stringify({http: plain.address().port, https: secure.address().port}) + '\n');
  });
});

for (const sig of ['SIGTERM', 'SIGINT'])
  process.on(sig, () => process.exit(0));
const parent = process.ppid;
setInterval(() => {
  if (process.ppid !== parent)
    process.exit(0);
}, 500).unref();
