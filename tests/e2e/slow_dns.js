'use strict';
// A name server for the end-to-end tests that answers slowly, on purpose: every A query is
// answered with --answer after --delay-ms milliseconds, any other query type with no record;
// names listed in --never are never answered. Node built-ins only (dgram).
//
//   node tests/e2e/slow_dns.js --address ADDR [--port N] [--delay-ms D] [--answer IP]
//                              [--never NAME[,NAME...]] [--log FILE]
//
// Prints exactly one line once it listens: {"listening":PORT}. Each query goes to the log as
// {"name":NAME,"type":T,"ms":MILLISECONDS_SINCE_START}. Ends on SIGTERM or SIGINT, and when its
// parent process goes away.
const dgram = require('dgram');
const fs = require('fs');

function parseFlags(argv) {
  const flags = { port: 53, 'delay-ms': 0, answer: '127.0.0.1', never: '' };
  for (let i = 0; i < argv.length; i += 2) {
    const name = argv[i].replace(/^--/, '');
    const value = argv[i + 1];
    if (!['address', 'port', 'delay-ms', 'answer', 'never', 'log'].includes(name))
      usage('unknown flag ' + argv[i]);
    if (value === undefined) usage('missing value for ' + argv[i]);
    flags[name] = ['port', 'delay-ms'].includes(name) ? Number(value) : value;
  }
  if (!flags.address) usage('--address is needed');
  return flags;
}

function usage(message) {
  console.error('slow_dns: ' + message + ' (see the comment at the top of slow_dns.js)');
  process.exit(2);
}

const flags = parseFlags(process.argv.slice(2));
const never = new Set(flags.never.split(',').filter((n) => n).map((n) => n.toLowerCase()));
const start = Date.now();

// The question of a query: its name, type and where it ends; null when it does not parse.
function question(msg) {
  if (msg.length < 12 || msg.readUInt16BE(4) !== 1) return null;
  const labels = [];
  let at = 12;
  while (at < msg.length) {
    const len = msg[at];
    if (len === 0) break;
    if (len > 63 || at + 1 + len > msg.length) return null;
    labels.push(msg.toString('latin1', at + 1, at + 1 + len));
    at += 1 + len;
  }
  if (at + 5 > msg.length) return null;
  return { name: labels.join('.').toLowerCase(), type: msg.readUInt16BE(at + 1), end: at + 5 };
}

function answer(msg, q) {
  const head = Buffer.alloc(12);
  head.writeUInt16BE(msg.readUInt16BE(0), 0);           // id
  head.writeUInt16BE(0x8180 | (msg[2] & 0x01) << 8, 2);  // response, recursion desired, available
  head.writeUInt16BE(1, 4);                             // one question
  const a = q.type === 1;
  head.writeUInt16BE(a ? 1 : 0, 6);                     // answers
  const parts = [head, msg.subarray(12, q.end)];
  if (a) {
    const record = Buffer.alloc(16);
    record.writeUInt16BE(0xc00c, 0);  // the name of the question
    record.writeUInt16BE(1, 2);       // A
    record.writeUInt16BE(1, 4);       // IN
    record.writeUInt32BE(60, 6);      // TTL
    record.writeUInt16BE(4, 10);
    flags.answer.split('.').forEach((b, i) => { record[12 + i] = Number(b); });
    parts.push(record);
  }
  return Buffer.concat(parts);
}

const socket = dgram.createSocket('udp4');
socket.on('error', (e) => {
  console.error('slow_dns: ' + e.message);
  process.exit(1);
});
socket.on('message', (msg, from) => {
  const q = question(msg);
  if (!q) return;
  if (flags.log) {
    fs.appendFileSync(flags.log,
                      JSON.stringify({ name: q.name, type: q.type, ms: Date.now() - start }) + '\n');
  }
  if (never.has(q.name)) return;
  setTimeout(() => socket.send(answer(msg, q), from.port, from.address), flags['delay-ms']);
});
socket.bind(flags.port, flags.address, () => {
  process.stdout.write(JSON.stringify({ listening: socket.address().port }) + '\n');
});

for (const sig of ['SIGTERM', 'SIGINT']) process.on(sig, () => process.exit(0));
const parent = process.ppid;
setInterval(() => {
  if (process.ppid !== parent) process.exit(0);
}, 500).unref();
