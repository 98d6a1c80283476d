'use strict';
// An inflated SPDY/2 name/value header block: a 16-bit count, then each name and value with a
// 16-bit length before it. Shared by the gateway and its --bench mode.

function decodeHeaderBlock(block) {
  const headers = {};
  const count = block.readUInt16BE(0);
  let at = 2;
  for (let i = 0; i < count; i++) {
    const nlen = block.readUInt16BE(at);
    const name = block.toString('latin1', at + 2, at + 2 + nlen);
    at += 2 + nlen;
    const vlen = block.readUInt16BE(at);
    headers[name] = block.toString('latin1', at + 2, at + 2 + vlen);
    at += 2 + vlen;
  }
  return headers;
}

module.exports = { decodeHeaderBlock };
