'use strict';
// Decodes each image file named on the command line with sharp (the test gateway's copy) and
// prints one line per file: "FORMAT WIDTH HEIGHT", or "invalid REASON" when it does not decode
// whole.
//
//   node tests/e2e/image_info.js FILE...
const path = require('path');
const sharp = require(path.join(__dirname, '..', '..', 'tools', 'gateway', 'node_modules', 'sharp'));

(async () => {
  for (const file of process.argv.slice(2)) {
    try {
      const meta = await sharp(file).metadata();
      // Every pixel, so that a cut or damaged body fails here.
      const { info } = await sharp(file, { failOn: 'truncated' }).raw()
                                                                 .toBuffer({ resolveWithObject: true });
      console.log(meta.format + ' ' + info.width + ' ' + info.height);
    } catch (e) {
      console.log('invalid ' + String(e.message || e).split('\n')[0].replace(/ /g, '_'));
    }
  }
})();
