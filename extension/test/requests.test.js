import {test} from 'node:test';
import assert from 'node:assert/strict';

import {MAX_REQUESTS, MediaLog, REQUEST_LIFETIME_MS, RequestLog, encodeRequestBody, mediaKind} from '../src/requests.js';

const bytes = (text) => ({bytes: new TextEncoder().encode(text).buffer});

test('request bodies are rebuilt only where the bytes can be known', () => {
  const cases = [
    [undefined, '', ''],
    [{formData: {q: ['a b'], 'x&y': ['1', "it's"]}}, 'application/x-www-form-urlencoded', 'q=a+b&x%26y=1&x%26y=it%27s'],
    [{formData: {q: ['1']}}, 'multipart/form-data; boundary=x', null],
    [{raw: [bytes('{"a":'), bytes('1}')]}, 'application/json', '{"a":1}'],
    [{raw: [{bytes: new Uint8Array([0xff, 0xfe]).buffer}]}, 'application/octet-stream', null],
    [{raw: [{file: '/home/u/secret.txt'}]}, '', null],
    [{raw: [bytes('x'.repeat(70000))]}, '', null],
    [{error: 'Unknown error.'}, '', null],
  ];
  for (const [body, type, expected] of cases)
    assert.equal(encodeRequestBody(body, type), expected, JSON.stringify(body)?.slice(0, 80));
});

test('the request log finds the latest request of a download, with its headers, size and name', () => {
  const log = new RequestLog();
  log.started({requestId: '1', url: 'https://h.example/a', method: 'GET', tabId: 4, type: 'main_frame'});
  log.started({requestId: '2', url: 'https://h.example/a', method: 'POST', tabId: 5, type: 'main_frame',
               requestBody: {formData: {k: ['v']}}});
  log.headersSent({requestId: '2', url: 'https://h.example/a',
                   requestHeaders: [{name: 'Content-Type', value: 'application/x-www-form-urlencoded'},
                                    {name: 'Cookie', value: 's=1'}, {name: 'Binary', binaryValue: [1]}]});
  log.headersReceived({requestId: '2', url: 'https://h.example/a', responseHeaders: [
    {name: 'Content-Length', value: '999'}, {name: 'Content-Type', value: 'application/pdf; x=y'},
    {name: 'Content-Disposition', value: 'attachment; filename="r.pdf"'}]});
  const found = log.find('https://h.example/none', 'https://h.example/a');
  assert.equal(found.tabId, 5);
  assert.equal(found.method, 'POST');
  assert.equal(found.body, 'k=v');
  assert.deepEqual(found.headers, [['Content-Type', 'application/x-www-form-urlencoded'], ['Cookie', 's=1']]);
  assert.equal(found.size, 999);
  assert.equal(found.mimeType, 'application/pdf');
  assert.equal(found.fileName, 'r.pdf');
  assert.equal(log.find('https://h.example/none'), null);
});

test('the request log forgets old requests and never grows past its bound', () => {
  let now = 0;
  const log = new RequestLog(() => now);
  log.started({requestId: 'old', url: 'https://h.example/old'});
  now = REQUEST_LIFETIME_MS + 1;
  assert.equal(log.find('https://h.example/old'), null);
  for (let i = 0; i < MAX_REQUESTS + 50; ++i) log.started({requestId: String(i), url: `https://h.example/${i}`});
  assert.equal(log.byId.size, MAX_REQUESTS);
  assert.equal(log.find('https://h.example/0'), null);
  assert.ok(log.find(`https://h.example/${MAX_REQUESTS + 49}`));
});

test('media responses are told apart by their type', () => {
  assert.equal(mediaKind('video/webm', ''), 'video');
  assert.equal(mediaKind('audio/mp4', ''), 'audio');
  assert.equal(mediaKind('application/vnd.apple.mpegurl', ''), 'hls');
  assert.equal(mediaKind('audio/mpegurl', ''), 'hls');
  assert.equal(mediaKind('', 'https://v.example/live.m3u8?t=1'), 'hls');
  assert.equal(mediaKind('text/html', 'https://v.example/page'), null);
});

test('the media log keeps the latest audio and video of each tab', () => {
  const log = new MediaLog();
  const seen = (tabId, url, type, extra = []) =>
    log.seen({tabId, url, responseHeaders: [{name: 'Content-Type', value: type}, ...extra]});
  assert.equal(seen(1, 'https://v.example/v1', 'video/webm', [{name: 'Content-Range', value: 'bytes 0-99/5000'}]), true);
  assert.equal(seen(1, 'https://v.example/v1', 'video/webm'), false);
  assert.equal(seen(1, 'https://v.example/a1', 'audio/webm; codecs=opus', [{name: 'Content-Length', value: '300'}]), true);
  assert.equal(seen(1, 'https://v.example/page', 'text/html'), false);
  assert.equal(seen(-1, 'https://v.example/bg', 'video/mp4'), false);
  const media = log.forTab(1);
  assert.deepEqual(media.video, {url: 'https://v.example/v1', mimeType: 'video/webm', size: 5000});
  assert.deepEqual(media.audio, {url: 'https://v.example/a1', mimeType: 'audio/webm', size: 300});
  log.forget(1);
  assert.equal(log.forTab(1), null);
});

test('a download reported before its response headers waits for them, but not for ever', async () => {
  const log = new RequestLog();
  log.started({requestId: '9', url: 'https://h.example/late', method: 'GET', tabId: 2});
  const waiting = log.answered(['https://h.example/late'], 10000);
  let done = false;
  waiting.then(() => { done = true; });
  await new Promise((resolve) => setImmediate(resolve));
  assert.equal(done, false);
  log.headersReceived({requestId: '9', url: 'https://h.example/late', responseHeaders: [{name: 'Content-Length', value: '5'}]});
  await waiting;
  assert.equal(log.find('https://h.example/late').size, 5);
  // Nothing seen at all: the wait ends at its limit.
  const started = Date.now();
  await log.answered(['https://h.example/never'], 50);
  assert.ok(Date.now() - started >= 40);
  // Already answered: no wait.
  await log.answered(['https://h.example/late'], 1e9);
});
