// The capture message the program reads: one line per field, each ended by CR LF, request header lines
// after the fields, and the request body last behind the POST marker.

export const POST_MARKER = '__0VornPostData9__';
// The link takes unfragmented frames of at most 65535 payload bytes; a longer one closes the connection.
export const MAX_MESSAGE_BYTES = 65535;
// One field or header value; longer ones are cut, except the URLs, which are never shortened.
export const MAX_VALUE_BYTES = 8192;

const encoder = new TextEncoder();

export function byteLength(text) {
  return encoder.encode(text).length;
}

const MARKER_PATTERN = /__0vornpostdata9__/gi;
const MARKER_TEST = /__0vornpostdata9__/i;

// Controls would split a line or bend the request it ends up in; the marker would start the body early.
export function cleanValue(value, limit = MAX_VALUE_BYTES) {
  if (value === undefined || value === null) return '';
  let text = String(value).replace(/[\x00-\x08\x0a-\x1f\x7f]/g, ' ').replace(MARKER_PATTERN, '').trim();
  if (byteLength(text) > limit) {
    // Cut on a character boundary.
    text = text.slice(0, limit);
    while (byteLength(text) > limit) text = text.slice(0, -1);
  }
  return text;
}

// A URL that cannot go over the link unchanged is refused rather than altered.
function cleanUrl(url) {
  if (typeof url !== 'string' || url === '') return null;
  if (/[\x00-\x20\x7f]/.test(url) || MARKER_TEST.test(url)) return null;
  if (byteLength(url) > MAX_VALUE_BYTES) return null;
  let parsed;
  try {
    parsed = new URL(url);
  } catch {
    return null;
  }
  if (!['http:', 'https:', 'ftp:'].includes(parsed.protocol) || parsed.hostname === '') return null;
  // The browser's own reading of the text: what it fetched, and the form every other field refers to.
  return parsed.href;
}

// Headers the program writes itself, or that would describe a different request than its own.
const OWN_HEADERS = new Set([
  'host', 'connection', 'content-length', 'range', 'if-range', 'accept-encoding', 'te', 'trailer',
  'transfer-encoding', 'upgrade', 'keep-alive', 'proxy-connection', 'proxy-authorization', 'user-agent',
  'referer', 'expect', 'if-modified-since', 'if-none-match', 'if-match', 'if-unmodified-since',
]);

// A name the parser could mistake for a field line ("2:" ...) never starts with a letter.
const HEADER_NAME = /^[A-Za-z][A-Za-z0-9!#$%&'*+.^_`|~-]*$/;

// capture: {url, audioUrl, method, pageTitle, pageUrl, linkType, size, mimeType, linkTitle, referrer,
// userAgent, headers: [[name, value]...], postData}. Returns the message text, or null when the capture
// cannot be described faithfully (no usable URL, a body that does not fit).
export function buildCaptureMessage(capture) {
  const url = cleanUrl(capture.url);
  if (!url) return null;
  let audioUrl = null;
  if (capture.audioUrl) {
    audioUrl = cleanUrl(capture.audioUrl);
    if (!audioUrl) return null;
  }
  const method = cleanValue(capture.method || 'GET', 32).toUpperCase();
  if (!/^[A-Z]+$/.test(method)) return null;
  const postData = typeof capture.postData === 'string' ? capture.postData : '';
  // A request with a body the browser did not show cannot be repeated.
  if (method !== 'GET' && method !== 'HEAD' && typeof capture.postData !== 'string') return null;

  const lines = [`1:${method}`, `2:${url}`];
  if (audioUrl) lines.push(`3:${audioUrl}`);
  const optional = [
    ['4:', cleanValue(capture.pageTitle)],
    ['5:', cleanUrlValue(capture.pageUrl)],
    ['6:', ['normal', 'media', 'hls'].includes(capture.linkType) ? capture.linkType : 'normal'],
    ['7:', Number.isSafeInteger(capture.size) && capture.size > 0 ? String(capture.size) : ''],
    ['8:', cleanValue(capture.mimeType, 255)],
    ['9:', cleanValue(capture.linkTitle)],
  ];
  for (const [prefix, value] of optional) {
    if (value !== '') lines.push(prefix + value);
  }
  const userAgent = cleanValue(capture.userAgent);
  if (userAgent) lines.push(`User-Agent:${userAgent}`);
  const referrer = cleanUrlValue(capture.referrer);
  if (referrer) lines.push(`Referer: ${referrer}`);

  const tail = postData !== '' ? `${POST_MARKER}:${postData}` : '';
  let used = byteLength(lines.join('\r\n') + '\r\n') + byteLength(tail);
  if (used > MAX_MESSAGE_BYTES) return null;
  const seen = new Set();
  for (const [name, value] of capture.headers || []) {
    if (typeof name !== 'string' || !HEADER_NAME.test(name)) continue;
    const lower = name.toLowerCase();
    if (OWN_HEADERS.has(lower) || lower.startsWith('sec-websocket') || seen.has(lower)) continue;
    const clean = cleanValue(value);
    if (clean === '') continue;
    const line = `${name}: ${clean}`;
    const size = byteLength(line) + 2;
    // Headers are the first to go when the message would be too long.
    if (used + size > MAX_MESSAGE_BYTES) continue;
    seen.add(lower);
    lines.push(line);
    used += size;
  }
  return lines.join('\r\n') + '\r\n' + tail;
}

// Page and referrer URLs are informative: a bad one is left out, not a reason to refuse.
function cleanUrlValue(value) {
  if (typeof value !== 'string' || value === '') return '';
  return cleanUrl(value) || '';
}
