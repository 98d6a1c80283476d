'use strict';
// A SPDY/2-over-TLS compression gateway for the daemon's tests, the demo and the benchmarks. It
// accepts the daemon's TLS connection, runs a spdy-transport server session on it, fetches each
// stream's url from the origin with Node's http client and answers SYN_REPLY ("status",
// "version", the origin's headers), then the body as data frames and FIN. Image replies carry
// "x-img-src-len" (the origin's body length) and "x-img-dst-len" (the length sent).
//
// It compresses as a compression gateway does, unless --passthrough:
// - JPEG, PNG and WebP replies (status 200) are re-encoded with sharp at the quality of the
//   image level the request carries in the header named by --img-tag, and sent re-encoded only
//   when that is smaller; the type and the dimensions stay, metadata goes, and content-length
//   becomes the new length:
//     level  JPEG quality  WebP quality  PNG (a palette made by libimagequant)
//     0      untouched     untouched     untouched
//     1      75            75            256 colours, dithered
//     2      55            55            256 colours, not dithered
//     3      35            35            16 colours, dithered
//   Any other level, "Cache-Control: no-transform", an animated image, a body that is not of its
//   declared type or that sharp cannot read, leaves the image untouched.
// - Text bodies (text/*, JavaScript, JSON, XML, SVG) without a content-encoding of their own
//   travel as data frames flagged COMPRESSED: one zlib stream per reply (deflate, no
//   dictionary), each origin chunk ending in a sync flush and the stream never finished, so
//   that the client inflates every frame as it arrives and gets the origin's exact bytes.
//
//   node tools/gateway/gateway.js [flags]
//
//   --host ADDR             listen address (default 127.0.0.1)
//   --port N                listen port; 0 (the default) picks a free one
//   --log FILE              JSON-lines event log (appended to)
//   --cert FILE --key FILE  TLS certificate and key (PEM); without them a self-signed pair is
//                           made with openssl at start
//   --origin HOST:PORT      fetch every url from this origin (path and Host kept) instead of
//                           from the url's own host
//   --img-tag NAME          the request header that carries the image level (default
//                           x-img-level, as in the shipped configuration)
//   --passthrough           compress nothing: every body is sent as the origin sent it
//   --bench                 for benchmarks: frames written by bench.js, each url fetched once and
//                           then answered from memory (no event log, no compression, none of the
//                           misbehaviours below)
// Misbehaviour, each usable alone; N counts the streams of one connection, 1 being the first;
// K counts reply body bytes as sent in data frames (compressed ones as compressed):
//   --goaway-after N        once the reply to the Nth stream has ended, write GOAWAY (the 4-byte
//                           SPDY/2 layout) in the same write as that reply's last frame (0: on
//                           the client's first frame)
//   --no-ping-reply         never answer the client's PING
//   --server-ping           send a PING of our own (id 2) when the client's first frame arrives
//   --reset-stream N        answer the Nth stream with RST_STREAM CANCEL instead of a reply
//   --close-mid-reply K     after K reply body bytes on a connection, end TLS cleanly
//                           (close_notify, then FIN) in the middle of the reply
//   --eof-mid-reply K       after K reply body bytes, close the TCP connection (FIN) without
//                           close_notify, as a gateway process that dies does
//   --kill-mid-reply K      after K reply body bytes, reset the TCP connection (no close_notify)
//   --delay-ms D            hold every reply D milliseconds
//   --garbage-after N       once the reply to the Nth stream has ended (0: on the client's first
//                           frame), write bytes that no SPDY/2 framer accepts
//   --bad-deflate-after N   once the reply to the Nth stream has ended (0: on the client's first
//                           frame), write a data frame flagged COMPRESSED whose payload does not
//                           inflate: 50 ms later its 8-byte header, 50 ms after that its payload
//   --tls-close-after N     once the reply to the Nth stream has ended (0: on the client's first
//                           frame), end TLS cleanly
//   --no-status N           the Nth stream's SYN_REPLY carries neither "status" nor "version"
//   --raw-file FILE         write the bytes of FILE as they are, on the first connection only:
//                           inside TLS, where SPDY frames go (or, with --raw-plain, on the TCP
//                           connection outside TLS); later connections are served normally
//   --raw-after N           when to write them: once the reply to the Nth stream has ended
//                           (default 0: on the client's first frame)
//   --raw-plain             see --raw-file
//   --handshake-delay-ms D  hold each connection's TLS handshake D milliseconds (the client's
//                           hello waits unread), as a gateway far away or overloaded does
//   --reply-headers FILE    a JSON object: request paths (query included) to header objects
//                           that are added to the SYN_REPLY of a stream asking for that path;
//                           an array value is sent as its items joined by NUL, as SPDY repeats
//                           a header; names may be empty or hold ':' or NUL
//
// Prints exactly one line once it listens: {"listening":PORT,"sha256":"<hex SHA-256 of the
// certificate's DER>"}. Ends on SIGTERM or SIGINT, and when its parent process goes away.
//
// Event log, one JSON object per line; "conn" numbers the connections from 1:
//   {"ev":"conn","conn":C,"port":P}                  connection accepted (the client's port)
//   {"ev":"settings","conn":C,"entries":[["64000000",1],...]}
//                                                    SETTINGS received: each entry's id/flags
//                                                    bytes in hex as on the wire, and its value
//   {"ev":"ping","conn":C,"id":I,"answered":B}       PING received, and whether it was answered
//   {"ev":"stream","conn":C,"id":I,"fin":B,"headers":{...}}
//                                                    SYN_STREAM received; the header block
//                                                    exactly as sent, in block order, NUL kept
//   {"ev":"data","conn":C,"id":I,"len":N,"fin":B}    data frame received
//   {"ev":"rst","conn":C,"id":I,"status":S}          RST_STREAM received
//   {"ev":"goaway","conn":C,"last_id":I}             GOAWAY received
//   {"ev":"reply","conn":C,"id":I,"status":S,"len":N,"wire":W,"coding":K}
//                                                    reply written to its end: N body bytes
//                                                    as the client gets them (after inflating),
//                                                    W data-frame payload bytes sent, K one of
//                                                    "none", "deflate", "image"; image replies
//                                                    add "src" and "dst", the two sizes sent
//   {"ev":"rst_sent","conn":C,"id":I}  {"ev":"goaway_sent","conn":C,"last_id":I}
//   {"ev":"ping_sent","conn":C,"id":2}  {"ev":"garbage_sent","conn":C}
//   {"ev":"bad_deflate_sent","conn":C,"id":I}  {"ev":"raw_sent","conn":C,"len":N}
//   {"ev":"tls_close","conn":C}  {"ev":"eof","conn":C}  {"ev":"kill","conn":C}
//   {"ev":"origin_error","conn":C,"id":I,"error":TEXT}
//   {"ev":"bad_input","conn":C,"error":TEXT}        client bytes that could not be decoded
//   {"ev":"close","conn":C,"read":R,"written":W}     connection closed (also for every open
//                                                    connection when the gateway ends): bytes
//                                                    read from and written to its TCP socket
const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const net = require('net');
const os = require('os');
const path = require('path');
const tls = require('tls');
const zlib = require('zlib');
const { Duplex } = require('stream');
const { decodeHeaderBlock } = require('./header_block');
const { execFileSync } = require('child_process');

const modules = path.join(__dirname, 'node_modules', 'spdy-transport');
if (!fs.existsSync(modules)) {
  console.error('gateway: ' + modules + ' is missing; run npm ci in ' + __dirname);
  process.exit(1);
}
const transport = require(modules);
const DICTIONARY = transport.protocol.spdy.dictionary[2];
// Loaded only when images are to be re-encoded, so that --passthrough runs without it.
let sharp = null;
const SHARP = path.join(__dirname, 'node_modules', 'sharp');

function parseFlags(argv) {
  const numeric = ['port', 'goaway-after', 'reset-stream', 'close-mid-reply', 'eof-mid-reply',
                   'kill-mid-reply',
                   'delay-ms', 'garbage-after', 'bad-deflate-after', 'tls-close-after',
                   'no-status', 'raw-after', 'handshake-delay-ms'];
  const text = ['host', 'log', 'cert', 'key', 'origin', 'raw-file', 'img-tag', 'reply-headers'];
  const bare = ['no-ping-reply', 'server-ping', 'raw-plain', 'passthrough', 'bench'];
  const flags = { host: '127.0.0.1', port: 0, 'img-tag': 'x-img-level' };
  for (let i = 0; i < argv.length; i++) {
    const name = argv[i].replace(/^--/, '');
    if (bare.includes(name)) {
      flags[name] = true;
    } else if (numeric.includes(name) || text.includes(name)) {
      const value = argv[++i];
      if (value === undefined) usage('missing value for --' + name);
      if (numeric.includes(name)) {
        if (!/^\d+$/.test(value)) usage('--' + name + ' takes a number');
        flags[name] = Number(value);
      } else {
        flags[name] = value;
      }
    } else {
      usage('unknown flag ' + argv[i]);
    }
  }
  if ((flags.cert === undefined) !== (flags.key === undefined)) usage('--cert and --key go together');
  if (flags['raw-file'] !== undefined) {
    try {
      flags.raw = fs.readFileSync(flags['raw-file']);
    } catch (e) {
      usage('cannot read --raw-file ' + flags['raw-file']);
    }
    if (flags['raw-after'] === undefined) flags['raw-after'] = 0;
  }
  if (flags.bench) {
    const odd = Object.keys(flags).filter((name) => !['host', 'port', 'cert', 'key', 'origin',
                                                       'img-tag', 'bench'].includes(name));
    if (odd.length) usage('--bench takes none of --' + odd.join(', --'));
    flags.passthrough = true;
  }
  if (flags['reply-headers'] !== undefined) {
    try {
      flags.replyHeaders = JSON.parse(fs.readFileSync(flags['reply-headers'], 'utf8'));
    } catch (e) {
      usage('cannot read --reply-headers ' + flags['reply-headers'] + ': ' + e.message);
    }
  }
  return flags;
}

function usage(message) {
  console.error('gateway: ' + message + ' (see the comment at the top of gateway.js)');
  process.exit(2);
}

const flags = parseFlags(process.argv.slice(2));
if (!flags.passthrough) {
  // Found now, so that a missing package is said at start; loaded at the first image, so that
  // a gateway that never sees one (most test runs) does not pay for the image library.
  try {
    require.resolve(SHARP);
  } catch (e) {
    sharpMissing(e);
  }
}

function sharpMissing(e) {
  console.error('gateway: sharp cannot be loaded (' + e.message + '); run npm ci in ' +
                __dirname + ', or pass --passthrough');
  process.exit(1);
}

function imageLibrary() {
  if (sharp === null) {
    try {
      sharp = require(SHARP);
    } catch (e) {
      sharpMissing(e);
    }
    // One image at a time per core is plenty for a test peer, and keeps memory flat.
    sharp.concurrency(1);
  }
  return sharp;
}

function log(entry) {
  if (flags.log) fs.appendFileSync(flags.log, JSON.stringify(entry) + '\n');
}

// A self-signed certificate made for this run; the files are removed once read.
function makeCertificate() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qv-gateway-'));
  try {
    const key = path.join(dir, 'key.pem');
    const cert = path.join(dir, 'cert.pem');
    execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt',
                             'ec_paramgen_curve:prime256v1', '-nodes', '-keyout', key, '-out',
                             cert, '-days', '30', '-subj', '/CN=quorvin-test-gateway'],
                 { stdio: ['ignore', 'ignore', 'pipe'] });
    return { key: fs.readFileSync(key), cert: fs.readFileSync(cert) };
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

const pair = flags.cert ? { key: fs.readFileSync(flags.key), cert: fs.readFileSync(flags.cert) }
                        : makeCertificate();
const secureContext = tls.createSecureContext(pair);
const fingerprint = new crypto.X509Certificate(pair.cert).fingerprint256.replace(/:/g, '')
                                                                         .toLowerCase();

function controlFrame(type, payload) {
  const head = Buffer.alloc(8);
  head.writeUInt16BE(0x8002, 0);
  head.writeUInt16BE(type, 2);
  head.writeUInt32BE(payload.length, 4);  // flags 0, 24-bit length
  return Buffer.concat([head, payload]);
}

function u32(value) {
  const b = Buffer.alloc(4);
  b.writeUInt32BE(value >>> 0, 0);
  return b;
}

// Cuts a byte stream into whole SPDY frames.
class FrameCutter {
  constructor() { this.buf = Buffer.alloc(0); }
  push(chunk) {
    this.buf = this.buf.length ? Buffer.concat([this.buf, chunk]) : chunk;
    const frames = [];
    while (this.buf.length >= 8) {
      const len = this.buf.readUInt32BE(4) & 0xffffff;
      if (this.buf.length < 8 + len) break;
      const bytes = this.buf.subarray(0, 8 + len);
      this.buf = this.buf.subarray(8 + len);
      const control = (bytes[0] & 0x80) !== 0;
      frames.push({
        bytes,
        control,
        type: control ? bytes.readUInt16BE(2) : 0,
        flags: bytes[4],
        len,
        id: control ? (len >= 4 ? bytes.readUInt32BE(8) & 0x7fffffff : 0)
                    : bytes.readUInt32BE(0) & 0x7fffffff,
        payload: bytes.subarray(8),
      });
    }
    return frames;
  }
}

let connections = 0;
// Open connections by number, so that their byte counts can be logged when the gateway ends.
const live = new Map();

function closeEntry(conn, raw) {
  return { ev: 'close', conn, read: raw.bytesRead, written: raw.bytesWritten };
}

function serve(raw) {
  const conn = ++connections;
  live.set(conn, raw);
  // Each frame goes out as written: Nagle would hold a reply body behind its SYN_REPLY.
  raw.setNoDelay(true);
  const state = {
    conn,
    streams: 0,       // streams seen
    completed: 0,     // replies written to their end
    bodyBytes: 0,     // reply body bytes written
    closed: false,    // nothing more may be written
    started: false,   // the client's first frame has arrived
    pending: [],      // frames waiting for the next write
    waiting: [],      // write callbacks waiting for it
    flushing: false,
    replies: new Map(),  // stream id -> {status, len}
    strip: new Set(),    // stream ids whose SYN_REPLY loses status and version
  };
  // The connection's entries stay in order even while a header block is being inflated.
  state.chain = Promise.resolve();
  const clog = (entry) => {
    state.chain = state.chain.then(() => log(entry));
  };
  state.log = clog;
  clog({ ev: 'conn', conn, port: raw.remotePort });
  raw.on('error', () => {});
  const sock = new tls.TLSSocket(raw, { isServer: true, secureContext });
  sock.on('error', () => {});

  const inflate = zlib.createInflate({ dictionary: DICTIONARY });
  inflate.on('error', (e) => {
    // A broken header stream ends the decoding; the entries waiting behind it still get out.
    log({ ev: 'bad_input', conn, error: String(e.message || e) });
    if (state.inflating) state.inflating();
  });
  const inbound = new FrameCutter();
  const outbound = new FrameCutter();

  // What the session writes passes through here, whole frames at a time, so that frames of our
  // own go in between frames and the misbehaviours act at exact points of the stream.
  const wire = new Duplex({
    read() { sock.resume(); },
    write(chunk, enc, cb) {
      for (const f of outbound.push(chunk)) outgoing(f);
      if (state.flushing) state.waiting.push(cb); else cb();
    },
  });

  function schedule() {
    if (state.scheduled) return;
    state.scheduled = true;
    // Frames made in the same turn leave in one write, so they share a TLS record.
    setImmediate(() => {
      state.scheduled = false;
      if (state.closed || state.pending.length === 0) return;
      const ok = sock.write(Buffer.concat(state.pending));
      state.pending = [];
      if (!ok) {
        state.flushing = true;
        sock.once('drain', () => {
          state.flushing = false;
          const cbs = state.waiting;
          state.waiting = [];
          cbs.forEach((cb) => cb());
        });
      }
    });
  }

  function emit(bytes) {
    if (state.closed) return;
    state.pending.push(bytes);
    schedule();
  }

  function flushNow() {
    if (state.pending.length) sock.write(Buffer.concat(state.pending));
    state.pending = [];
  }

  function tlsClose() {
    if (state.closed) return;
    flushNow();
    state.closed = true;
    clog({ ev: 'tls_close', conn });
    sock.end();
  }

  // Drops the TCP connection without a TLS close_notify: with a FIN, or with a reset.
  function drop(reset) {
    if (state.closed) return;
    flushNow();
    state.closed = true;
    clog({ ev: reset ? 'kill' : 'eof', conn });
    // Let the bytes already written leave first.
    setTimeout(() => (reset ? raw.resetAndDestroy() : raw.destroy()), 50);
  }

  function afterStreams(n) {
    if (flags['goaway-after'] === n) {
      emit(controlFrame(7, u32(state.lastReplyId || 0)));
      clog({ ev: 'goaway_sent', conn, last_id: state.lastReplyId || 0 });
    }
    if (flags['garbage-after'] === n) {
      emit(Buffer.from('8003000100000008deadbeefdeadbeef', 'hex'));
      clog({ ev: 'garbage_sent', conn });
    }
    if (flags['bad-deflate-after'] === n) {
      const id = state.lastReplyId || 1;
      const payload = Buffer.from('not a deflate stream');
      const head = Buffer.alloc(8);
      head.writeUInt32BE(id, 0);
      head.writeUInt32BE(payload.length, 4);
      head[4] = 0x02;  // COMPRESSED
      // Each part alone in its write, so that each arrives in a read of its own.
      setTimeout(() => {
        emit(head);
        setTimeout(() => emit(payload), 50);
      }, 50);
      clog({ ev: 'bad_deflate_sent', conn, id });
    }
    if (flags.raw && conn === 1 && flags['raw-after'] === n) {
      if (flags['raw-plain']) {
        // Outside TLS: whatever is queued for TLS goes first, then the bytes on the TCP stream.
        flushNow();
        setImmediate(() => raw.write(flags.raw));
      } else {
        emit(flags.raw);
      }
      clog({ ev: 'raw_sent', conn, len: flags.raw.length });
    }
    if (flags['tls-close-after'] === n) setImmediate(tlsClose);
  }

  function replyEnded(id) {
    const r = state.replies.get(id);
    if (!r || r.ended) return;
    r.ended = true;
    const entry = { ev: 'reply', conn, id, status: r.status, len: r.len, wire: r.wire,
                    coding: r.coding };
    if (r.coding === 'image') Object.assign(entry, { src: r.src, dst: r.dst });
    clog(entry);
    state.completed++;
    state.lastReplyId = id;
    afterStreams(state.completed);
  }

  function outgoing(f) {
    if (state.closed) return;
    if (f.control) {
      if (f.type === 6 && flags['no-ping-reply'] && f.payload.readUInt32BE(0) % 2 === 1) return;
      if (f.type === 7 && f.len === 8) {
        // spdy-transport writes GOAWAY in the SPDY/3 layout (last id and a status); SPDY/2's
        // carries the last id only.
        const lastId = f.payload.readUInt32BE(0);
        emit(controlFrame(7, u32(lastId)));
        clog({ ev: 'goaway_sent', conn, last_id: lastId });
        return;
      }
      emit(f.bytes);
      if (f.type === 2 && (f.flags & 1)) replyEnded(f.id);
      return;
    }
    const r = state.replies.get(f.id);
    if (r && r.coding === 'deflate' && f.len > 0) {
      // The payload is already deflate output (see fetchFromOrigin): say so in its header.
      f.bytes = Buffer.from(f.bytes);
      f.bytes[4] |= 0x02;
    }
    const cut = ['close-mid-reply', 'eof-mid-reply', 'kill-mid-reply'].find(
        (name) => flags[name] !== undefined);
    const limit = cut && flags[cut];
    if (cut && f.len > 0 && state.bodyBytes + f.len >= limit) {
      // Cut the reply inside this frame, after exactly `limit` body bytes in all.
      const keep = limit - state.bodyBytes;
      emit(f.bytes.subarray(0, 8 + keep));
      state.bodyBytes = limit;
      if (cut === 'close-mid-reply') tlsClose(); else drop(cut === 'kill-mid-reply');
      return;
    }
    state.bodyBytes += f.len;
    if (r) {
      r.wire += f.len;
      if (r.coding !== 'deflate') r.len += f.len;
    }
    emit(f.bytes);
    if (f.flags & 1) replyEnded(f.id);
  }

  function incoming(f) {
    if (!state.started) {
      state.started = true;
      if (flags['server-ping']) {
        emit(controlFrame(6, u32(2)));
        clog({ ev: 'ping_sent', conn, id: 2 });
      }
      afterStreams(0);
    }
    if (!f.control) {
      clog({ ev: 'data', conn, id: f.id, len: f.len, fin: (f.flags & 1) !== 0 });
      return;
    }
    switch (f.type) {
      case 1: {
        // Header blocks continue one deflate stream: inflate them one at a time, in order.
        const block = Buffer.from(f.payload.subarray(10));
        const entry = { ev: 'stream', conn, id: f.id, fin: (f.flags & 1) !== 0 };
        state.chain = state.chain.then(() => new Promise((resolve) => {
          if (inflate.destroyed) return resolve();
          state.inflating = resolve;
          inflate.write(block);
          inflate.flush(zlib.constants.Z_SYNC_FLUSH, () => {
            try {
              entry.headers = decodeHeaderBlock(inflate.read() || Buffer.alloc(0));
              log(entry);
            } catch (e) {
              log({ ev: 'bad_input', conn, error: String(e.message || e) });
            }
            resolve();
          });
        }));
        break;
      }
      case 3:
        clog({ ev: 'rst', conn, id: f.id, status: f.payload.readUInt32BE(4) });
        break;
      case 4: {
        const entries = [];
        const count = f.payload.readUInt32BE(0);
        for (let i = 0; i < count && 8 + 8 * i <= f.payload.length; i++) {
          entries.push([f.payload.toString('hex', 4 + 8 * i, 8 + 8 * i),
                        f.payload.readUInt32BE(8 + 8 * i)]);
        }
        clog({ ev: 'settings', conn, entries });
        break;
      }
      case 6: {
        const id = f.payload.readUInt32BE(0);
        clog({ ev: 'ping', conn, id, answered: id % 2 === 1 && !flags['no-ping-reply'] });
        break;
      }
      case 7:
        clog({ ev: 'goaway', conn, last_id: f.payload.readUInt32BE(0) });
        break;
      default:
        break;
    }
  }

  sock.on('data', (chunk) => {
    if (state.closed) return;
    try {
      for (const f of inbound.push(chunk)) incoming(f);
    } catch (e) {
      clog({ ev: 'bad_input', conn, error: String(e.message || e) });
    }
    if (!wire.push(chunk)) sock.pause();
  });
  sock.on('end', () => wire.push(null));
  sock.on('close', () => {
    state.closed = true;
    live.delete(conn);
    clog(closeEntry(conn, raw));
    wire.destroy();
  });

  const session = transport.connection.create(wire, { protocol: 'spdy', isServer: true });
  session.on('error', () => {});
  const framer = session._spdyState.framer;
  const responseFrame = framer.responseFrame;
  framer.responseFrame = function (frame, callback) {
    if (state.strip.has(frame.id)) {
      const headersToDict = this.headersToDict;
      this.headersToDict = function (headers, preprocess, cb) {
        this.headersToDict = headersToDict;
        return headersToDict.call(this, headers, (h) => {
          preprocess(h);
          delete h.status;
          delete h.version;
        }, cb);
      };
    }
    return responseFrame.call(this, frame, callback);
  };

  session.on('stream', (s) => {
    const n = ++state.streams;
    s.on('error', () => {});
    // SPDY/2 has no flow control, but spdy-transport applies SPDY/3's: it would stop each reply
    // after 64 KB and wait for WINDOW_UPDATE frames that a SPDY/2 client never sends.
    s._spdyState.window.send.updateMax(1 << 30);
    if (flags['reset-stream'] === n) {
      s.abort();
      clog({ ev: 'rst_sent', conn, id: s.id });
      return;
    }
    if (flags['no-status'] === n) state.strip.add(s.id);
    fetchFromOrigin(s, state);
  });
}

function fetchFromOrigin(s, state) {
  let url;
  try {
    url = new URL(s.path, 'http://' + (s.headers[':authority'] || s.headers.host || 'localhost'));
  } catch (e) {
    return failStream(s, state, 'bad url ' + s.path);
  }
  let target = { host: url.hostname, port: url.port || 80 };
  if (flags.origin) {
    const at = flags.origin.lastIndexOf(':');
    target = { host: flags.origin.slice(0, at), port: Number(flags.origin.slice(at + 1)) };
  }
  const headers = {};
  for (const [name, value] of Object.entries(s.headers)) {
    // Pseudo-headers and names Node will not send (the empty image-level name among them).
    if (!/^[!#$%&'*+.^_`|~0-9A-Za-z-]+$/.test(name)) continue;
    if (['connection', 'keep-alive', 'proxy-connection', 'transfer-encoding'].includes(name)) continue;
    headers[name] = value;
  }
  headers.host = url.host;
  const req = http.request({ host: target.host, port: target.port, method: s.method,
                             path: url.pathname + url.search, headers });
  req.on('error', (e) => failStream(s, state, e.message));
  req.on('response', (res) => {
    const type = mediaType(res.headers);
    const image = /^image\//.test(type) && type !== 'image/svg+xml';
    const reply = { status: res.statusCode, len: 0, wire: 0, coding: 'none' };
    const respond = (extra) => {
      const out = Object.assign({}, res.headers, extra || {});
      const asked = url.pathname + url.search;
      if (flags.replyHeaders && flags.replyHeaders[asked] !== undefined)
        Object.assign(out, flags.replyHeaders[asked]);
      state.replies.set(s.id, reply);
      s.respond(res.statusCode, out);
    };
    const later = (fn) => (flags['delay-ms'] ? setTimeout(fn, flags['delay-ms']) : fn());
    if (image) {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => {
        const body = Buffer.concat(chunks);
        const level = imageLevel(s.headers);
        const keep = flags.passthrough || res.statusCode !== 200 || noTransform(res.headers);
        const encoded = keep ? Promise.resolve(null) : reencode(body, type, level);
        encoded.then((smaller) => later(() => {
          const sent = smaller || body;
          const extra = { 'x-img-src-len': String(body.length), 'x-img-dst-len': String(sent.length) };
          if (smaller) extra['content-length'] = String(sent.length);
          Object.assign(reply, { coding: 'image', src: body.length, dst: sent.length });
          respond(extra);
          s.end(sent);
        }));
      });
    } else if (!flags.passthrough && s.method !== 'HEAD' && compressible(type, res.headers)) {
      res.pause();
      later(() => {
        reply.coding = 'deflate';
        respond();
        deflateBody(res, s, reply);
        res.resume();
      });
    } else {
      res.pause();
      later(() => {
        respond();
        res.pipe(s);
        res.resume();
      });
    }
  });
  s.pipe(req);
}

// The media type of a reply, lower-cased, without parameters.
function mediaType(headers) {
  return String(headers['content-type'] || '').split(';')[0].trim().toLowerCase();
}

// Cache-Control: no-transform forbids an intermediary to change the representation.
function noTransform(headers) {
  return /(^|,)\s*no-transform\s*(,|$)/i.test(String(headers['cache-control'] || ''));
}

// Text that deflates well and that no one encoded before us.
function compressible(type, headers) {
  const coding = String(headers['content-encoding'] || 'identity').trim().toLowerCase();
  if (coding !== 'identity') return false;
  return /^text\//.test(type) || /[/+](javascript|ecmascript|json|xml)$/.test(type) ||
         type === 'application/x-javascript';
}

// The reply body as one zlib stream in data frames, never finished (the client's inflater takes
// a stream end for an error). Each origin chunk is deflated on its own and ends in a sync flush,
// so every frame inflates to whole bytes on arrival; the stream's two-byte zlib header goes
// before the first. `reply.len` counts the origin's bytes, which the client gets back exactly.
const ZLIB_HEADER = Buffer.from([0x78, 0xda]);
function deflateBody(res, s, reply) {
  res.on('data', (c) => {
    const piece = zlib.deflateRawSync(c, { level: 9, finishFlush: zlib.constants.Z_SYNC_FLUSH });
    s.write(reply.len === 0 ? Buffer.concat([ZLIB_HEADER, piece]) : piece);
    reply.len += c.length;
  });
  res.on('end', () => s.end());
}

// The image level the request asks for; 0 (untouched) when it names none.
function imageLevel(headers) {
  const value = headers[flags['img-tag'].toLowerCase()];
  return /^\d+$/.test(String(value)) ? Number(value) : 0;
}

// Quality per image level (see the comment at the top).
const QUALITY = {
  1: { jpeg: 75, webp: 75, png: { colours: 256, dither: 1 } },
  2: { jpeg: 55, webp: 55, png: { colours: 256, dither: 0 } },
  3: { jpeg: 35, webp: 35, png: { colours: 16, dither: 1 } },
};
const DECLARED = { 'image/jpeg': 'jpeg', 'image/jpg': 'jpeg', 'image/pjpeg': 'jpeg',
                   'image/png': 'png', 'image/webp': 'webp' };

// An animated PNG has an acTL chunk before its first IDAT; sharp would keep one frame.
function animatedPng(body) {
  for (let at = 8; at + 8 <= body.length;) {
    const len = body.readUInt32BE(at);
    const kind = body.toString('latin1', at + 4, at + 8);
    if (kind === 'acTL') return true;
    if (kind === 'IDAT') return false;
    at += 12 + len;
  }
  return false;
}

// The body re-encoded at `level`, or null when it stays as it is.
async function reencode(body, type, level) {
  const quality = QUALITY[level];
  const format = DECLARED[type];
  if (!quality || !format || body.length === 0) return null;
  const sharp = imageLibrary();
  try {
    const meta = await sharp(body).metadata();
    if (meta.format !== format || (meta.pages || 1) > 1) return null;
    if (format === 'png' && animatedPng(body)) return null;
    let image = sharp(body);
    // Without its EXIF orientation a turned photo would show turned the other way.
    if (meta.orientation && meta.orientation !== 1) image = image.keepExif();
    if (format === 'jpeg') image = image.jpeg({ quality: quality.jpeg });
    else if (format === 'webp') image = image.webp({ quality: quality.webp });
    else image = image.png(Object.assign({ palette: true, compressionLevel: 9, effort: 1 }, quality.png));
    const out = await image.toBuffer();
    return out.length < body.length ? out : null;
  } catch (e) {
    return null;
  }
}

function failStream(s, state, error) {
  state.log({ ev: 'origin_error', conn: state.conn, id: s.id, error });
  if (state.replies.has(s.id)) {
    s.abort();
    return;
  }
  state.replies.set(s.id, { status: 502, len: 0, wire: 0, coding: 'none' });
  s.respond(502, { 'content-type': 'text/plain' });
  s.end('origin error: ' + error + '\n');
}

// With --handshake-delay-ms the client's hello waits in the socket until the delay is over.
const server = net.createServer(flags.bench ? (raw) => require('./bench').serve(raw, {
  secureContext, dictionary: DICTIONARY, origin: flags.origin,
}) : (raw) => {
  const delay = flags['handshake-delay-ms'];
  if (!delay) return serve(raw);
  raw.pause();
  raw.on('error', () => {});
  setTimeout(() => {
    if (!raw.destroyed) serve(raw);
  }, delay);
});
server.on('error', (e) => {
  console.error('gateway: ' + e.message);
  process.exit(1);
});
server.listen(flags.port, flags.host, () => {
  process.stdout.write(JSON.stringify({ listening: server.address().port, sha256: fingerprint }) +
                       '\n');
});

// Each open connection's byte counts go to the log before the end.
for (const sig of ['SIGTERM', 'SIGINT']) {
  process.on(sig, () => {
    for (const [conn, raw] of live) log(closeEntry(conn, raw));
    process.exit(0);
  });
}
const parent = process.ppid;
setInterval(() => {
  if (process.ppid !== parent) process.exit(0);
}, 500).unref();
