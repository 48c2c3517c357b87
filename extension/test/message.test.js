import {test} from 'node:test';
import assert from 'node:assert/strict';

import {MAX_MESSAGE_BYTES, POST_MARKER, buildCaptureMessage, byteLength} from '../src/message.js';

const base = {
  url: 'https://files.example/get/archive.zip',
  method: 'GET',
  pageTitle: 'Files',
  pageUrl: 'https://files.example/',
  size: 1234,
  mimeType: 'application/zip',
  linkTitle: 'The archive',
  referrer: 'https://files.example/list',
  userAgent: 'Mozilla/5.0 (X11; Linux x86_64) Test/1.0',
  headers: [['Cookie', 'a=1; b=2'], ['Accept-Language', 'en']],
};

// The lines before the body, as the program splits them.
function lines(message) {
  const marker = message.indexOf(POST_MARKER);
  const head = marker >= 0 ? message.slice(0, marker) : message;
  assert.ok(head.endsWith('\r\n'), 'every line ends with CR LF');
  return head.slice(0, -2).split('\r\n');
}

test('a full capture has one line per field in the order the program reads them', () => {
  assert.deepEqual(lines(buildCaptureMessage(base)), [
    '1:GET',
    '2:https://files.example/get/archive.zip',
    '4:Files',
    '5:https://files.example/',
    '6:normal',
    '7:1234',
    '8:application/zip',
    '9:The archive',
    'User-Agent:Mozilla/5.0 (X11; Linux x86_64) Test/1.0',
    'Referer: https://files.example/list',
    'Cookie: a=1; b=2',
    'Accept-Language: en',
  ]);
});

test('empty fields are left out rather than sent blank', () => {
  assert.deepEqual(lines(buildCaptureMessage({url: 'http://h.example/a'})), ['1:GET', '2:http://h.example/a', '6:normal']);
});

test('a pair carries the audio stream in the 3: line and the media type', () => {
  const message = buildCaptureMessage({url: 'https://v.example/video.webm', audioUrl: 'https://v.example/audio.webm',
                                       linkType: 'media'});
  assert.deepEqual(lines(message), ['1:GET', '2:https://v.example/video.webm', '3:https://v.example/audio.webm', '6:media']);
});

test('a POST body follows the marker unchanged, line breaks included', () => {
  const body = 'a=1&b=two\r\nthree';
  const message = buildCaptureMessage({...base, method: 'post', postData: body});
  assert.ok(message.endsWith(`\r\n${POST_MARKER}:${body}`));
  assert.equal(lines(message)[0], '1:POST');
  assert.equal(message.indexOf(POST_MARKER), message.lastIndexOf(POST_MARKER));
});

test('a POST whose body the browser did not show is not sent', () => {
  assert.equal(buildCaptureMessage({...base, method: 'POST', postData: null}), null);
  assert.equal(buildCaptureMessage({...base, method: 'PUT'}), null);
});

for (const [name, url] of [
  ['no URL', ''],
  ['a blob URL', 'blob:https://files.example/1234'],
  ['a data URL', 'data:text/plain,hello'],
  ['a URL with a line break', 'https://files.example/a\r\n2:https://evil.example/'],
  ['a URL with a blank', 'https://files.example/a b'],
  ['a URL that holds the body marker', `https://files.example/?${POST_MARKER}:x`],
  ['a URL without a host', 'https://'],
  ['a file URL', 'file:///etc/passwd'],
  ['an overlong URL', 'https://files.example/' + 'a'.repeat(9000)],
]) {
  test(`${name} is never sent`, () => {
    assert.equal(buildCaptureMessage({...base, url}), null);
  });
}

test('an unusable audio URL refuses the whole pair', () => {
  assert.equal(buildCaptureMessage({...base, audioUrl: 'javascript:alert(1)'}), null);
});

test('hostile page text cannot add lines, headers or a body', () => {
  const message = buildCaptureMessage({
    ...base,
    pageTitle: 'Title\r\n2:https://evil.example/\r\nX-Evil: 1',
    linkTitle: `click ${POST_MARKER.toLowerCase()}:injected`,
    mimeType: 'text/plain\nCookie: stolen',
    headers: [['X-Note', 'one\r\ntwo'], ['2', 'https://evil.example/'], ['Bad Name', 'x'], ['X-Null', 'a\u0000b']],
  });
  const all = lines(message);
  assert.equal(all.filter((line) => line.startsWith('2:')).length, 1);
  assert.ok(!message.toLowerCase().includes(POST_MARKER.toLowerCase()));
  assert.ok(all.includes('4:Title  2:https://evil.example/  X-Evil: 1'));
  assert.ok(all.includes('X-Note: one  two'));
  assert.ok(all.includes('X-Null: a b'));
  assert.ok(!all.some((line) => line.startsWith('Bad Name') || line.startsWith('2: ')));
});

test('headers the program writes itself are not passed on, and a repeated header only once', () => {
  const all = lines(buildCaptureMessage({
    ...base,
    headers: [['Host', 'files.example'], ['Range', 'bytes=0-'], ['Content-Length', '5'], ['Accept-Encoding', 'gzip'],
              ['User-Agent', 'other'], ['referer', 'https://other.example/'], ['Connection', 'keep-alive'],
              ['Sec-WebSocket-Key', 'x'], ['X-Token', 'first'], ['x-token', 'second']],
  }));
  const headerLines = all.slice(all.indexOf('Referer: https://files.example/list') + 1);
  assert.deepEqual(headerLines, ['X-Token: first']);
});

test('the referrer line is written exactly as the program recognises it', () => {
  const all = lines(buildCaptureMessage(base));
  assert.ok(all.includes('Referer: https://files.example/list'));
  assert.equal(lines(buildCaptureMessage({...base, referrer: 'about:blank'})).find((l) => l.startsWith('Referer')), undefined);
});

test('sizes are sent only when known', () => {
  for (const size of [0, -1, 1.5, NaN, undefined, Number.MAX_SAFE_INTEGER + 2]) {
    assert.ok(!lines(buildCaptureMessage({...base, size})).some((line) => line.startsWith('7:')), String(size));
  }
  assert.ok(lines(buildCaptureMessage({...base, size: 10995116277760})).includes('7:10995116277760'));
});

test('a message never grows past one frame: headers go first, a body that does not fit refuses', () => {
  const headers = [];
  for (let i = 0; i < 40; ++i) headers.push([`X-Big-${i}`, 'v'.repeat(4000)]);
  const message = buildCaptureMessage({...base, headers});
  assert.ok(byteLength(message) <= MAX_MESSAGE_BYTES);
  assert.ok(lines(message).includes('2:https://files.example/get/archive.zip'));
  assert.equal(buildCaptureMessage({...base, method: 'POST', postData: 'x'.repeat(MAX_MESSAGE_BYTES)}), null);
});

test('long values are cut on character boundaries, counted in UTF-8 bytes', () => {
  const message = buildCaptureMessage({...base, pageTitle: 'é'.repeat(6000)});
  const title = lines(message).find((line) => line.startsWith('4:'));
  assert.equal(byteLength(title.slice(2)), 8192);
  assert.ok(!title.includes('\ufffd'));
});

test('URLs go out in the form the browser fetched', () => {
  assert.equal(lines(buildCaptureMessage({url: 'HTTP://Files.Example:80/a b'.replace(' ', '%20')}))[1],
               '2:http://files.example/a%20b');
});
