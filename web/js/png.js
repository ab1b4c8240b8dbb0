// PNG files of 8-bit RGBA frames, written byte for byte as computed (a
// canvas would premultiply alpha on the way): the colour-space chunks the
// preview writes (sRGB, or gamma 1.0 for linear values) and text chunks.

const CRC_TABLE = (() => {
  const table = new Uint32Array(256);
  for (let n = 0; n < 256; ++n) {
    let c = n;
    for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    table[n] = c >>> 0;
  }
  return table;
})();

function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) c = CRC_TABLE[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function chunk(type, data) {
  const out = new Uint8Array(12 + data.length);
  const view = new DataView(out.buffer);
  view.setUint32(0, data.length);
  out.set(new TextEncoder().encode(type), 4);
  out.set(data, 8);
  view.setUint32(8 + data.length, crc32(out.subarray(4, 8 + data.length)));
  return out;
}

function uint32s(...values) {
  const out = new Uint8Array(4 * values.length);
  values.forEach((v, i) => new DataView(out.buffer).setUint32(4 * i, v));
  return out;
}

// zlib (RFC 1950) of the bytes, by the browser's own deflate.
async function zlib(bytes) {
  const stream = new Blob([bytes]).stream().pipeThrough(new CompressionStream('deflate'));
  return new Uint8Array(await new Response(stream).arrayBuffer());
}

// The PNG of a frame {width, height, rgba}; `linear` marks gamma 1.0
// instead of sRGB; `texts` are [keyword, Latin-1 text] pairs.
export async function encodePng(frame, { linear = false, texts = [] } = {}) {
  const { width, height, rgba } = frame;
  const header = new Uint8Array(13);
  header.set(uint32s(width, height));
  header.set([8, 6, 0, 0, 0], 8); // 8 bits, RGBA, deflate, adaptive filters, no interlace
  const rows = new Uint8Array(height * (1 + 4 * width));
  for (let y = 0; y < height; ++y) {
    rows.set(rgba.subarray(y * 4 * width, (y + 1) * 4 * width), y * (1 + 4 * width) + 1); // filter 0: none
  }
  const parts = [new Uint8Array([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]), chunk('IHDR', header)];
  if (linear) {
    parts.push(chunk('gAMA', uint32s(100000)));
  } else {
    parts.push(chunk('sRGB', new Uint8Array([0])));
    parts.push(chunk('gAMA', uint32s(45455)));
    parts.push(chunk('cHRM', uint32s(31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000)));
  }
  for (const [key, value] of texts) {
    const latin1 = Uint8Array.from(`${key}\0${value}`, (c) => (c.charCodeAt(0) < 256 ? c.charCodeAt(0) : 63));
    parts.push(chunk('tEXt', latin1));
  }
  parts.push(chunk('IDAT', await zlib(rows)), chunk('IEND', new Uint8Array(0)));
  return new Blob(parts, { type: 'image/png' });
}
