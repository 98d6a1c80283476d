'use strict';
// A client that pools its connections, as Android's common HTTP clients do: Node's http with a
// shared keep-alive agent, through a forward proxy. Each reply must have status 200 and the body
// its x-body-sha256 names. Node built-ins only.
//
//   node tests/e2e/pooled_client.js --proxy HOST:PORT --url URL [--requests N] [--parallel P]
//
// Prints one line: {"ok":N,"failed":M,"errors":[TEXT,...]} (at most 5 errors); exits 0 when every
// request was ok.
const crypto = require('crypto');
const http = require('http');

const flags = { requests: 40, parallel: 4 };
const argv = process.argv.slice(2);
for (let i = 0; i < argv.length; i += 2) flags[argv[i].replace(/^--/, '')] = argv[i + 1];
const [host, port] = flags.proxy.split(':');
const target = new URL(flags.url);
const agent = new http.Agent({ keepAlive: true, maxSockets: Number(flags.parallel) });
let ok = 0;
let failed = 0;
const errors = [];

function fail(text) {
  failed++;
  if (errors.length < 5) errors.push(text);
}

function one() {
  return new Promise((resolve) => {
    const req = http.get({ host, port: Number(port), path: flags.url, agent,
                           headers: { host: target.host } }, (res) => {
      const hash = crypto.createHash('sha256');
      res.on('data', (c) => hash.update(c));
      res.on('end', () => {
        if (res.statusCode === 200 && hash.digest('hex') === res.headers['x-body-sha256']) ok++;
        else fail('status ' + res.statusCode + ' or a body that is not the one named');
        resolve();
      });
      res.on('error', (e) => { fail(e.message); resolve(); });
    });
    req.on('error', (e) => { fail(e.code || e.message); resolve(); });
  });
}

(async () => {
  let left = Number(flags.requests);
  const workers = [];
  for (let w = 0; w < Number(flags.parallel); w++) {
    workers.push((async () => {
      while (left-- > 0) await one();
    })());
  }
  await Promise.all(workers);
  console.log(JSON.stringify({ ok, failed, errors }));
  process.exit(failed === 0 ? 0 : 1);
})();
