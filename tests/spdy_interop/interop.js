'use strict';
// Checks our SPDY/2 framer against spdy-transport, an independent implementation.
//   node interop.js to_peer   <tool command...>   frames we build, parsed by a spdy-transport
//                                                  server session
//   node interop.js from_peer <tool command...>   bytes a spdy-transport server session writes,
//                                                  parsed by our framer and event adapter
const path = require('path');
const fs = require('fs');
const { spawnSync } = require('child_process');
const { Duplex } = require('stream');
const assert = require('assert');

const modules = path.join(__dirname, 'node_modules', 'spdy-transport');
if (!fs.existsSync(modules)) {
  console.error('interop: ' + modules + ' is missing; run scripts/setup (npm ci in ' +
                __dirname + ')');
  process.exit(1);
}
const transport = require(modules);

const [direction, ...tool] = process.argv.slice(2);
if (!direction || tool.length === 0) {
  console.error('usage: interop.js to_peer|from_peer <tool command...>');
  process.exit(2);
}

function runTool(mode, input) {
  const r = spawnSync(tool[0], tool.slice(1).concat([mode]), {
    input: input || Buffer.alloc(0),
    maxBuffer: 64 << 20,
  });
  if (r.error) throw r.error;
  if (r.status !== 0) {
    throw new Error('tool ' + mode + ' exited ' + r.status + ': ' + r.stderr.toString());
  }
  return r.stdout;
}

// A server session over an in-memory socket: `input` is what the client sent, the returned
// promise gives the frames and streams it saw and every byte it wrote.
function serverSession(input, onStream, settle) {
  return new Promise((resolve, reject) => {
    const written = [];
    const sock = new Duplex({
      read() {},
      write(chunk, enc, cb) {
        written.push(Buffer.from(chunk));
        cb();
      },
    });
    const conn = transport.connection.create(sock, { protocol: 'spdy', isServer: true });
    const seen = { frames: [], streams: {}, errors: [], version: null };
    conn.on('version', () => { seen.version = conn.getVersion(); });
    conn.on('frame', (f) => seen.frames.push(f));
    conn.on('error', (e) => seen.errors.push(e.message));
    conn.on('stream', (s) => {
      const rec = { method: s.method, path: s.path, headers: s.headers, body: [], ended: false,
                    closed: false };
      seen.streams[s.id] = rec;
      s.on('data', (c) => rec.body.push(c));
      s.on('end', () => { rec.ended = true; });
      s.on('close', () => { rec.closed = true; });
      s.on('error', () => {});
      if (onStream) onStream(conn, s, rec);
    });
    sock.push(input);
    const finish = () => {
      for (const id in seen.streams) {
        seen.streams[id].body = Buffer.concat(seen.streams[id].body).toString('latin1');
      }
      resolve({ seen, written: Buffer.concat(written) });
    };
    if (settle) settle(conn, finish); else setTimeout(finish, 300);
    setTimeout(() => reject(new Error('server session did not settle')), 20000).unref();
  });
}

async function toPeer() {
  const input = runTool('build');
  const { seen } = await serverSession(input);
  assert.deepStrictEqual(seen.errors, []);
  assert.strictEqual(seen.version, 2, 'peer detected SPDY version ' + seen.version);
  const types = seen.frames.map((f) => f.type + (f.id !== undefined ? ':' + f.id : ''));
  assert.deepStrictEqual(types, ['SETTINGS', 'PING', 'HEADERS:1', 'DATA:1', 'HEADERS:3',
    'DATA:3', 'DATA:3', 'DATA:3', 'HEADERS:5', 'RST:5', 'HEADERS:7', 'DATA:7']);
  const f = seen.frames;
  // Opening SETTINGS: the peer reads our three entries (it knows none of their ids, so they
  // collapse into one unnamed key holding the last value).
  assert.strictEqual(Object.values(f[0].settings).pop(), 3755744309);
  assert.strictEqual(f[1].opaque.toString('hex'), '00000001');
  assert.strictEqual(f[2].fin, false);
  assert.strictEqual(f[3].fin, true);
  assert.strictEqual(f[3].data.length, 0);
  assert.notDeepStrictEqual(f[2].priority, f[4].priority, 'priority bits not read');
  assert.strictEqual(f[5].data.toString(), 'body part 1;');
  assert.strictEqual(f[6].data.toString(), 'B'.repeat(1024));
  assert.strictEqual(f[7].fin, true);
  assert.strictEqual(f[9].code, 'CANCEL');

  const s1 = seen.streams[1];
  assert.strictEqual(s1.method, 'GET');
  assert.strictEqual(s1.path, 'http://www.example.com/index.html?q=1');
  assert.strictEqual(s1.headers[':authority'], 'www.example.com');
  assert.strictEqual(s1.headers['accept'],
                     'text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8');
  assert.strictEqual(s1.headers['accept-encoding'], 'gzip, deflate');
  assert.strictEqual(s1.headers['accept-language'], 'en-US,en;q=0.5');
  assert.strictEqual(s1.headers['user-agent'],
                     'Mozilla/5.0 (Linux; Android 4.4.2; Nexus 5) AppleWebKit/537.36 Mobile');
  assert.strictEqual(s1.headers['x-q'], '3');
  // A NUL-separated value is one header with several values.
  assert.strictEqual(s1.headers['cookie'], 'a=1; b=2');
  assert.ok(s1.ended, 'stream 1 did not end');
  const s3 = seen.streams[3];
  assert.strictEqual(s3.method, 'POST');
  assert.strictEqual(s3.headers['content-type'], 'text/plain');
  assert.strictEqual(s3.body, 'body part 1;' + 'B'.repeat(1024));
  assert.ok(s3.ended, 'stream 3 did not end');
  assert.strictEqual(seen.streams[5].path, 'http://www.example.com/cancelled');
  assert.ok(seen.streams[5].closed, 'stream 5 was not closed by RST_STREAM');
  console.log('to_peer: ' + seen.frames.length + ' frames, ' + Object.keys(seen.streams).length +
              ' streams read by spdy-transport as sent');
}

async function fromPeer() {
  // The peer answers our client frames as a gateway would.
  const input = runTool('build');
  const onStream = (conn, s, rec) => {
    if (s.id === 1) {
      s.respond(200, { 'content-type': 'text/html', 'set-cookie': ['a=1', 'b=2'] });
      s.write('hello ');
      s.end('world');
    } else if (s.id === 3) {
      s.on('end', () => {
        s.respond(201, { 'x-img-src-len': '2048', 'x-img-dst-len': '512' });
        s.end('got ' + rec.body.reduce((n, c) => n + c.length, 0));
      });
    } else if (s.id === 7) {
      s.abort();
    }
  };
  const settle = (conn, finish) => {
    setTimeout(() => {
      conn.ping(() => {});
      setTimeout(() => conn.end(() => {}), 100);
      setTimeout(finish, 300);
    }, 200);
  };
  const { seen, written } = await serverSession(input, onStream, settle);
  if (process.env.DUMP) fs.writeFileSync(process.env.DUMP, written);
  assert.deepStrictEqual(seen.errors, []);
  const lines = runTool('parse', written).toString().trim().split('\n').map((l) => JSON.parse(l));
  const controls = lines.filter((e) => e.ev === 'control');
  const events = lines.filter((e) => e.ev !== 'control');
  // Join data pieces per stream.
  const joined = [];
  for (const e of events) {
    const last = joined[joined.length - 1];
    if (e.ev === 'data' && last && last.ev === 'data' && last.id === e.id) {
      last.data += e.data;
    } else {
      joined.push(Object.assign({}, e));
    }
  }
  const byKind = (ev, id) => joined.filter((e) => e.ev === ev && (id === undefined || e.id === id));

  // spdy-transport writes its SPDY/2 GOAWAY with 8 bytes after the header (last stream id and
  // a status code, the layout of later SPDY versions); SPDY/2 defines 4, and our framer holds
  // to that: it stops there with INVALID_CONTROL_FRAME. Everything before it must be intact.
  const goawayAt = written.length - 16;
  assert.strictEqual(written.slice(goawayAt, goawayAt + 8).toString('hex'), '8002000700000008',
                     'peer GOAWAY layout changed');
  assert.strictEqual(written.readUInt32BE(goawayAt + 8), 7, 'GOAWAY last stream id');
  assert.deepStrictEqual(byKind('error'), [{ ev: 'error', code: 'INVALID_CONTROL_FRAME' }]);
  assert.deepStrictEqual(byKind('stopped'), [{ ev: 'stopped', at: goawayAt + 8 }]);
  const errorIndex = joined.findIndex((e) => e.ev === 'error');
  assert.strictEqual(errorIndex, joined.length - 3, 'error before the GOAWAY');
  assert.deepStrictEqual(joined[joined.length - 1],
                         { ev: 'consumed', bytes: goawayAt + 8, has_error: true });
  // The same GOAWAY with the SPDY/2 length is reported.
  const goaway2 = Buffer.concat([Buffer.from('8002000700000004', 'hex'),
                                 written.slice(goawayAt + 8, goawayAt + 12)]);
  const g = runTool('parse', goaway2).toString().trim().split('\n').map((l) => JSON.parse(l));
  assert.deepStrictEqual(g.filter((e) => e.ev === 'goaway'),
                         [{ ev: 'goaway', id: 4294967295, flags: 0, last_id: 7 }]);

  assert.ok(controls.some((c) => c.type === 4), 'no SETTINGS from the peer');
  const replies = byKind('syn_reply');
  assert.strictEqual(replies.length, 2, JSON.stringify(replies));
  const r1 = byKind('syn_reply', 1)[0];
  assert.strictEqual(r1.headers.status, '200 OK');
  assert.strictEqual(r1.headers.version, 'HTTP/1.1');
  assert.strictEqual(r1.headers['content-type'], 'text/html');
  // A multi-valued header arrives as one NUL-separated value.
  assert.strictEqual(r1.headers['set-cookie'], 'a=1\u0000b=2');
  assert.strictEqual(byKind('data', 1).map((e) => e.data).join(''), 'hello world');
  assert.strictEqual(byKind('fin', 1).length, 1);
  const r3 = byKind('syn_reply', 3)[0];
  assert.strictEqual(r3.headers.status, '201 Created');
  assert.strictEqual(r3.headers['x-img-src-len'], '2048');
  assert.strictEqual(r3.headers['x-img-dst-len'], '512');
  assert.strictEqual(byKind('data', 3).map((e) => e.data).join(''), 'got 1036');
  assert.strictEqual(byKind('fin', 3).length, 1);
  // Our PING answered, the peer's own PING (even id), its resets of streams 5 and 7.
  const pings = byKind('ping').map((e) => e.ping_id);
  assert.ok(pings.includes(1), 'our ping 1 was not answered: ' + pings);
  assert.ok(pings.some((id) => id % 2 === 0), 'no server ping: ' + pings);
  assert.ok(byKind('rst', 7).length >= 1, 'no RST_STREAM for stream 7');
  assert.strictEqual(byKind('rst', 7)[0].status, 5);
  assert.strictEqual(byKind('rst', 5)[0].status, 5);
  console.log('from_peer: ' + written.length + ' bytes from spdy-transport, ' + joined.length +
              ' events, ' + controls.length + ' control frames');
}

(direction === 'to_peer' ? toPeer() : direction === 'from_peer' ? fromPeer()
                                     : Promise.reject(new Error('unknown direction')))
    .then(() => process.exit(0))
    .catch((e) => {
      console.error('interop ' + direction + ' FAILED: ' + (e.stack || e));
      process.exit(1);
    });
