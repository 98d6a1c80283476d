'use strict';
// The gateway's --bench mode: a SPDY/2 server that writes its frames itself and answers every
// url from memory, so that a benchmark measures the daemon and not this peer. The first request
// for a url fetches it from the origin (status, headers and body are kept; at most MAX_KEPT
// urls, each at most MAX_BODY bytes); every later one is answered from what was kept without
// leaving the process. Per connection, as the protocol requires, one zlib stream inflates the
// client's header blocks (SPDY/2 dictionary) and one deflates ours.
//
// Frames handled: SYN_STREAM (a reply once the request has ended: its FIN, or the empty data
// frame with FIN that follows it), data frames (request bodies are read and dropped), PING (an
// odd id is answered with the same frame), RST_STREAM (the stream's reply stops), SETTINGS and
// GOAWAY (ignored). Everything the loop's turn produced leaves in one TLS write; long bodies go
// out as 8 KB data frames while the socket takes them, one stream after the other in turn.
const http = require('http');
const tls = require('tls');
const zlib = require('zlib');
const { decodeHeaderBlock } = require('./header_block');

const MAX_BODY = 16 * 1024 * 1024;
const MAX_KEPT = 64;
const DATA_FRAME = 8192;
// Bytes queued on the TLS socket before the bodies wait for 'drain'.
const HIGH_WATER = 256 * 1024;
// Reply headers that describe the origin's connection, not the reply.
const HOP = new Set(['connection', 'keep-alive', 'proxy-connection', 'transfer-encoding', 'date']);

const kept = new Map();     // url -> {status, headers: [[name, value]], body}
const fetching = new Map();  // url -> [callbacks waiting for it]

function fetchOnce(url, origin, done) {
  const hit = kept.get(url);
  if (hit) return done(hit);
  if (fetching.has(url)) return fetching.get(url).push(done);
  fetching.set(url, [done]);
  const finish = (entry) => {
    const waiting = fetching.get(url);
    fetching.delete(url);
    if (entry.body.length <= MAX_BODY && kept.size < MAX_KEPT) kept.set(url, entry);
    waiting.forEach((cb) => cb(entry));
  };
  let parsed;
  try {
    parsed = new URL(url);
  } catch (e) {
    return finish(errorEntry('bad url ' + url));
  }
  let host = parsed.hostname;
  let port = parsed.port || 80;
  if (origin) {
    const at = origin.lastIndexOf(':');
    host = origin.slice(0, at);
    port = Number(origin.slice(at + 1));
  }
  const req = http.get({ host, port, path: parsed.pathname + parsed.search,
                         headers: { host: parsed.host } }, (res) => {
    const chunks = [];
    res.on('data', (c) => chunks.push(c));
    res.on('end', () => {
      const headers = [];
      for (const [name, value] of Object.entries(res.headers)) {
        if (HOP.has(name)) continue;
        headers.push([name, Array.isArray(value) ? value.join('\0') : String(value)]);
      }
      finish({ status: res.statusCode, reason: res.statusMessage || '', headers,
               body: Buffer.concat(chunks) });
    });
  });
  req.on('error', (e) => finish(errorEntry(e.message)));
}

function errorEntry(text) {
  const body = Buffer.from('origin error: ' + text + '\n');
  return { status: 502, reason: 'Bad Gateway', headers: [['content-type', 'text/plain']], body };
}

// One step of a zlib stream that stays open: the bytes in, flushed with `flush`, and all the
// output they make, at once. Node's own synchronous calls end their stream after one use, so
// this drives the stream's handle as they do, without the end.
function zlibStep(engine, chunk, flush) {
  const handle = engine._handle;
  const state = engine._writeState;
  if (!handle || typeof handle.writeSync !== 'function' || !state) {
    throw new Error('this Node.js has no synchronous zlib handle');
  }
  // Output goes to one scratch buffer and leaves as a copy of the bytes made: a header block is
  // a few hundred bytes, and a fresh 16 KB per step would keep the garbage collector busy.
  const out = [];
  let inOff = 0;
  let availIn = chunk.length;
  for (;;) {
    handle.writeSync(flush, chunk, inOff, availIn, SCRATCH, 0, SCRATCH.length);
    const availOutAfter = state[0];
    const availInAfter = state[1];
    const made = SCRATCH.length - availOutAfter;
    if (made > 0) out.push(Buffer.from(SCRATCH.subarray(0, made)));
    inOff += availIn - availInAfter;
    availIn = availInAfter;
    // A full output buffer may hide more output; otherwise the step is done.
    if (availOutAfter !== 0) break;
  }
  return out.length === 1 ? out[0] : Buffer.concat(out);
}
const SCRATCH = Buffer.allocUnsafe(16384);

function headerBlock(pairs) {
  let size = 2;
  const encoded = pairs.map(([n, v]) => {
    const name = Buffer.from(n, 'latin1');
    const value = Buffer.from(v, 'latin1');
    size += 4 + name.length + value.length;
    return [name, value];
  });
  const block = Buffer.alloc(size);
  block.writeUInt16BE(pairs.length, 0);
  let at = 2;
  for (const [name, value] of encoded) {
    block.writeUInt16BE(name.length, at);
    name.copy(block, at + 2);
    at += 2 + name.length;
    block.writeUInt16BE(value.length, at);
    value.copy(block, at + 2);
    at += 2 + value.length;
  }
  return block;
}

function serve(raw, options) {
  raw.setNoDelay(true);
  raw.on('error', () => {});
  const sock = new tls.TLSSocket(raw, { isServer: true, secureContext: options.secureContext });
  sock.on('error', () => {});
  // A header block is inflated (or deflated) on arrival, in order, on the connection's stream.
  const inflate = zlib.createInflate({ dictionary: options.dictionary });
  const deflate = zlib.createDeflate({ dictionary: options.dictionary });
  let input = Buffer.alloc(0);
  let out = [];
  let scheduled = false;
  let closed = false;
  const requests = new Map();  // stream id -> url, until the request ends
  const sending = [];          // replies whose bodies are still going out: {id, body, at}

  function flush() {
    scheduled = false;
    if (closed) return;
    pump();
    if (out.length === 0) return;
    const bytes = out.length === 1 ? out[0] : Buffer.concat(out);
    out = [];
    sock.write(bytes);
  }
  function schedule() {
    if (scheduled) return;
    scheduled = true;
    setImmediate(flush);
  }

  function control(type, flags, payload) {
    const head = Buffer.allocUnsafe(8);
    head.writeUInt32BE((0x80020000 | type) >>> 0, 0);
    head.writeUInt32BE(((flags & 0xff) << 24 | payload.length) >>> 0, 4);
    out.push(head, payload);
  }

  function dataHead(id, flags, length) {
    const head = Buffer.allocUnsafe(8);
    head.writeUInt32BE(id, 0);
    head.writeUInt32BE(((flags & 0xff) << 24 | length) >>> 0, 4);
    return head;
  }

  // Queued bytes: the bodies go on while the socket keeps up.
  function pump() {
    let queued = sock.writableLength + out.reduce((n, b) => n + b.length, 0);
    while (sending.length && queued < HIGH_WATER) {
      const r = sending[0];
      const n = Math.min(DATA_FRAME, r.body.length - r.at);
      const last = r.at + n === r.body.length;
      out.push(dataHead(r.id, last ? 1 : 0, n), r.body.subarray(r.at, r.at + n));
      r.at += n;
      queued += n + 8;
      sending.shift();
      if (!last) sending.push(r);
    }
  }

  function reply(id, entry) {
    if (closed) return;
    const pairs = [['status', entry.status + ' ' + entry.reason], ['version', 'HTTP/1.1']];
    for (const pair of entry.headers) pairs.push(pair);
    const block = zlibStep(deflate, headerBlock(pairs), zlib.constants.Z_SYNC_FLUSH);
    const payload = Buffer.allocUnsafe(6 + block.length);
    payload.writeUInt32BE(id, 0);
    payload.writeUInt16BE(0, 4);
    block.copy(payload, 6);
    const empty = entry.body.length === 0;
    control(2, empty ? 1 : 0, payload);
    if (!empty) sending.push({ id, body: entry.body, at: 0 });
    schedule();
  }

  function requestEnded(id) {
    const url = requests.get(id);
    if (url === undefined) return;
    requests.delete(id);
    fetchOnce(url, options.origin, (entry) => reply(id, entry));
  }

  function frame(bytes) {
    const len = bytes.readUInt32BE(4) & 0xffffff;
    const flags = bytes[4];
    if (!(bytes[0] & 0x80)) {
      if (flags & 1) requestEnded(bytes.readUInt32BE(0) & 0x7fffffff);
      return;
    }
    const type = bytes.readUInt16BE(2);
    const payload = bytes.subarray(8, 8 + len);
    if (type === 1 && len >= 10) {
      const id = payload.readUInt32BE(0) & 0x7fffffff;
      const headers = decodeHeaderBlock(
          zlibStep(inflate, payload.subarray(10), zlib.constants.Z_SYNC_FLUSH));
      requests.set(id, headers.url || '/');
      if (flags & 1) requestEnded(id);
    } else if (type === 3 && len >= 4) {
      const id = payload.readUInt32BE(0) & 0x7fffffff;
      requests.delete(id);
      const at = sending.findIndex((r) => r.id === id);
      if (at >= 0) sending.splice(at, 1);
    } else if (type === 6 && len >= 4 && payload.readUInt32BE(0) % 2 === 1) {
      out.push(Buffer.from(bytes.subarray(0, 8 + len)));
      schedule();
    }
  }

  sock.on('data', (chunk) => {
    input = input.length ? Buffer.concat([input, chunk]) : chunk;
    let at = 0;
    try {
      while (input.length - at >= 8) {
        const len = input.readUInt32BE(at + 4) & 0xffffff;
        if (input.length - at < 8 + len) break;
        frame(input.subarray(at, at + 8 + len));
        at += 8 + len;
      }
    } catch (e) {
      // Input this mode cannot follow ends the connection: a benchmark gets no silent stall.
      console.error('gateway --bench: ' + (e.stack || e));
      closed = true;
      sock.destroy();
      return;
    }
    input = at === input.length ? Buffer.alloc(0) : Buffer.from(input.subarray(at));
  });
  sock.on('drain', schedule);
  sock.on('close', () => {
    closed = true;
    inflate.close();
    deflate.close();
  });
}

module.exports = { serve };
