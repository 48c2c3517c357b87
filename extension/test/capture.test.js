import {test} from 'node:test';
import assert from 'node:assert/strict';

import {captureOfDownload, captureOfLink, captureOfMedia, fileNameOfDisposition, reasonToLeave} from '../src/capture.js';
import {normaliseOptions, parseTypeList} from '../src/options.js';

const options = normaliseOptions({minimumSizeKiB: 100, leaveTypes: ['pdf', 'jpg']});

test('which downloads stay with the browser', () => {
  const cases = [
    [{url: 'https://h.example/a.zip', size: 200 * 1024}, false, options, null],
    [{url: 'https://h.example/a.zip', size: 0}, false, options, null],
    [{url: 'https://h.example/a.zip', size: 99 * 1024}, false, options, 'too small'],
    [{url: 'https://h.example/doc.PDF', size: 500 * 1024}, false, options, 'type left to the browser'],
    [{url: 'https://h.example/get?id=1', fileName: 'photo.jpg', size: 500 * 1024}, false, options, 'type left to the browser'],
    [{url: 'https://h.example/a.zip', size: 500 * 1024}, false, normaliseOptions({capture: false}), 'capture off'],
    [{url: 'blob:https://h.example/x', size: 500 * 1024}, false, options, 'not fetchable'],
    // A download the program waits for goes to it whatever the options say.
    [{url: 'https://h.example/doc.pdf', size: 1}, true, normaliseOptions({capture: false, minimumSizeKiB: 5, leaveTypes: ['pdf']}), null],
    [{url: 'data:text/plain,x', size: 1}, true, options, 'not fetchable'],
  ];
  for (const [download, waiting, chosen, expected] of cases)
    assert.equal(reasonToLeave(download, chosen, waiting), expected, JSON.stringify([download, waiting]));
});

test('options from storage are made sound', () => {
  assert.deepEqual(normaliseOptions(undefined), {capture: true, minimumSizeKiB: 0, leaveTypes: []});
  assert.deepEqual(normaliseOptions({capture: 0, minimumSizeKiB: '-3', leaveTypes: 'pdf'}),
                   {capture: true, minimumSizeKiB: 0, leaveTypes: []});
  assert.deepEqual(normaliseOptions({capture: false, minimumSizeKiB: '12.7', leaveTypes: ['.PDF', 'x y']}),
                   {capture: false, minimumSizeKiB: 12, leaveTypes: ['pdf', 'x', 'y']});
  assert.deepEqual(parseTypeList(' pdf, .JPG;zip  zip ../etc <b>'), ['pdf', 'jpg', 'zip']);
});

test('file names from Content-Disposition', () => {
  assert.equal(fileNameOfDisposition('attachment; filename="report 1.pdf"'), 'report 1.pdf');
  assert.equal(fileNameOfDisposition('attachment; filename=plain.txt; size=3'), 'plain.txt');
  assert.equal(fileNameOfDisposition("attachment; filename*=UTF-8''%C3%A9t%C3%A9.zip; filename=\"ete.zip\""), 'été.zip');
  assert.equal(fileNameOfDisposition('inline'), '');
  assert.equal(fileNameOfDisposition(''), '');
});

test('a download is described from its item, its request and its tab', () => {
  const capture = captureOfDownload({
    item: {id: 3, url: 'https://h.example/start', finalUrl: 'https://cdn.example/a.zip', referrer: 'https://h.example/page',
           totalBytes: 4096, mime: 'application/zip', filename: '/home/u/Downloads/a.zip'},
    request: {method: 'GET', body: '', headers: [['Accept', '*/*'], ['Cookie', 'seen=1']], tabId: 7, size: 1},
    tab: {url: 'https://h.example/page', title: 'The page'},
    cookieHeader: 'other=2',
    userAgent: 'UA',
  });
  assert.equal(capture.url, 'https://cdn.example/a.zip');
  assert.equal(capture.size, 4096);
  assert.equal(capture.fileName, 'a.zip');
  assert.equal(capture.pageUrl, 'https://h.example/page');
  assert.equal(capture.pageTitle, 'The page');
  assert.equal(capture.referrer, 'https://h.example/page');
  // The cookies the request really carried win over the cookie store's.
  assert.deepEqual(capture.headers, [['Accept', '*/*'], ['Cookie', 'seen=1']]);
});

test('a download seen by no request still has its cookies, and its size from the item', () => {
  const capture = captureOfDownload({item: {url: 'https://h.example/b.iso', totalBytes: -1, fileSize: 77, mime: ''},
                                     request: null, tab: null, cookieHeader: 'sid=9', userAgent: 'UA'});
  assert.equal(capture.method, 'GET');
  assert.equal(capture.size, 77);
  assert.equal(capture.fileName, 'b.iso');
  assert.equal(capture.pageUrl, '');
  assert.deepEqual(capture.headers, [['Cookie', 'sid=9']]);
});

test('a POST download keeps its method and body; one whose body is unknown says so', () => {
  const known = captureOfDownload({item: {url: 'https://h.example/export'}, request: {method: 'POST', body: 'q=1', headers: []}});
  assert.equal(known.method, 'POST');
  assert.equal(known.postData, 'q=1');
  const unknown = captureOfDownload({item: {url: 'https://h.example/export'}, request: {method: 'POST', body: null, headers: []}});
  assert.equal(unknown.postData, null);
});

test('a link from the context menu carries its text and page', () => {
  const capture = captureOfLink({info: {linkUrl: 'https://h.example/f.bin', linkText: 'Get it', pageUrl: 'https://h.example/'},
                                 tab: {title: 'Home', url: 'https://h.example/'}, cookieHeader: '', userAgent: 'UA'});
  assert.equal(capture.linkTitle, 'Get it');
  assert.equal(capture.referrer, 'https://h.example/');
  assert.equal(capture.pageTitle, 'Home');
  assert.deepEqual(capture.headers, []);
});

test('media: a pair when audio and video were both seen, else the one stream', () => {
  const tab = {url: 'https://v.example/watch', title: 'A film'};
  const video = {url: 'https://v.example/v.webm', mimeType: 'video/webm', size: 10};
  const audio = {url: 'https://v.example/a.webm', mimeType: 'audio/webm', size: 5};
  const pair = captureOfMedia({media: {video, audio}, tab, cookieHeader: ''});
  assert.equal(pair.url, video.url);
  assert.equal(pair.audioUrl, audio.url);
  assert.equal(pair.linkType, 'media');
  assert.equal(pair.linkTitle, 'A film');
  const hls = captureOfMedia({media: {hls: {url: 'https://v.example/p.m3u8', mimeType: 'application/vnd.apple.mpegurl'}, audio}, tab});
  assert.equal(hls.linkType, 'hls');
  assert.equal(hls.audioUrl, undefined);
  assert.equal(captureOfMedia({media: {}, tab}), null);
});
