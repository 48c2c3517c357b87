// What the webRequest API shows of recent requests, kept briefly so that a download the browser starts
// can be described with its method, headers, body and page; and the media each tab fetched.

import {fileNameOfDisposition, headerValue} from './capture.js';

export const MAX_REQUESTS = 256;
export const REQUEST_LIFETIME_MS = 5 * 60 * 1000;
// A body larger than this cannot go into one message anyway.
export const MAX_BODY_BYTES = 60000;

// The body of a request as the program must send it again, '' for none, or null when the browser's view
// of it cannot be turned back into the bytes it sent (files, multipart forms, binary data).
export function encodeRequestBody(requestBody, contentType = '') {
  if (!requestBody) return '';
  if (requestBody.error) return null;
  if (requestBody.formData) {
    if (/multipart\//i.test(contentType)) return null;
    const pairs = [];
    for (const [name, values] of Object.entries(requestBody.formData)) {
      for (const value of values) {
        if (typeof value !== 'string') return null;
        pairs.push(`${formEncode(name)}=${formEncode(value)}`);
      }
    }
    return bounded(pairs.join('&'));
  }
  if (requestBody.raw) {
    const parts = [];
    let total = 0;
    for (const part of requestBody.raw) {
      if (!part.bytes) return null;
      total += part.bytes.byteLength;
      if (total > MAX_BODY_BYTES) return null;
      parts.push(new Uint8Array(part.bytes));
    }
    const joined = new Uint8Array(total);
    let at = 0;
    for (const part of parts) {
      joined.set(part, at);
      at += part.length;
    }
    try {
      return new TextDecoder('utf-8', {fatal: true}).decode(joined);
    } catch {
      return null;
    }
  }
  return '';
}

function formEncode(text) {
  return encodeURIComponent(text).replace(/%20/g, '+').replace(/[!'()*]/g, (c) => '%' + c.charCodeAt(0).toString(16).toUpperCase());
}

function bounded(text) {
  return new TextEncoder().encode(text).length > MAX_BODY_BYTES ? null : text;
}

export class RequestLog {
  constructor(now = () => Date.now(), setTimer = (callback, ms) => setTimeout(callback, ms)) {
    this.now = now;
    this.setTimer = setTimer;
    this.byId = new Map();
    this.waiters = [];
  }

  // Resolves once the response headers of a request to one of the URLs were seen, or after ms. A browser
  // may report a download before the request's own events have reached the extension.
  answered(urls, ms) {
    const known = this.find(...urls);
    if (known?.answered || ms <= 0) return Promise.resolve();
    return new Promise((resolve) => {
      const waiter = {urls, resolve};
      this.waiters.push(waiter);
      this.setTimer(() => {
        this.waiters = this.waiters.filter((other) => other !== waiter);
        resolve();
      }, ms);
    });
  }

  // webRequest.onBeforeRequest
  started(details) {
    this.prune();
    this.byId.set(details.requestId + '|' + details.url, {
      url: details.url,
      method: details.method || 'GET',
      tabId: details.tabId,
      type: details.type,
      rawBody: details.requestBody || null,
      body: '',
      headers: [],
      size: 0,
      mimeType: '',
      fileName: '',
      answered: false,
      at: this.now(),
    });
    while (this.byId.size > MAX_REQUESTS) this.byId.delete(this.byId.keys().next().value);
  }

  // webRequest.onBeforeSendHeaders / onSendHeaders
  headersSent(details) {
    const entry = this.byId.get(details.requestId + '|' + details.url);
    if (!entry) return;
    entry.headers = (details.requestHeaders || [])
      .filter((header) => typeof header.value === 'string')
      .map((header) => [header.name, header.value]);
  }

  // webRequest.onHeadersReceived
  headersReceived(details) {
    const entry = this.byId.get(details.requestId + '|' + details.url);
    if (!entry) return;
    const headers = (details.responseHeaders || []).map((header) => [header.name, header.value || '']);
    const length = Number(headerValue(headers, 'content-length'));
    entry.size = Number.isSafeInteger(length) && length > 0 ? length : 0;
    entry.mimeType = headerValue(headers, 'content-type').split(';')[0].trim();
    entry.fileName = fileNameOfDisposition(headerValue(headers, 'content-disposition'));
    entry.answered = true;
    const ready = this.waiters.filter((waiter) => waiter.urls.includes(details.url));
    this.waiters = this.waiters.filter((waiter) => !ready.includes(waiter));
    for (const waiter of ready) waiter.resolve();
  }

  // The most recent request for one of the URLs, with its body made ready, or null.
  find(...urls) {
    this.prune();
    const entries = [...this.byId.values()].reverse();
    for (const url of urls) {
      if (!url) continue;
      const entry = entries.find((candidate) => candidate.url === url);
      if (entry) {
        const contentType = headerValue(entry.headers, 'content-type');
        return {...entry, body: entry.method === 'GET' ? '' : encodeRequestBody(entry.rawBody, contentType)};
      }
    }
    return null;
  }

  prune() {
    const oldest = this.now() - REQUEST_LIFETIME_MS;
    for (const [key, entry] of this.byId) {
      if (entry.at < oldest) this.byId.delete(key);
    }
  }
}

// The media streams a tab fetched: the latest video, audio and HLS playlist response of each.
export class MediaLog {
  constructor() {
    this.byTab = new Map();
  }

  // webRequest.onHeadersReceived; returns true when the tab's media changed.
  seen(details) {
    if (!(details.tabId >= 0)) return false;
    const headers = (details.responseHeaders || []).map((header) => [header.name, header.value || '']);
    const mimeType = headerValue(headers, 'content-type').split(';')[0].trim().toLowerCase();
    const kind = mediaKind(mimeType, details.url);
    if (!kind) return false;
    const range = headerValue(headers, 'content-range');
    const total = /\/(\d+)\s*$/.exec(range);
    const length = Number(total ? total[1] : headerValue(headers, 'content-length'));
    const media = this.byTab.get(details.tabId) || {};
    const changed = !media[kind] || media[kind].url !== details.url;
    let size = Number.isSafeInteger(length) && length > 0 ? length : 0;
    // A later piece of the same stream that names no total keeps the one already known.
    if (!changed && size === 0) size = media[kind].size;
    media[kind] = {url: details.url, mimeType, size};
    this.byTab.set(details.tabId, media);
    while (this.byTab.size > 64) this.byTab.delete(this.byTab.keys().next().value);
    return changed;
  }

  forTab(tabId) {
    return this.byTab.get(tabId) || null;
  }

  // A tab that navigates or closes forgets what it played.
  forget(tabId) {
    this.byTab.delete(tabId);
  }
}

export function mediaKind(mimeType, url) {
  if (/^application\/(vnd\.apple\.mpegurl|x-mpegurl)$/.test(mimeType) || /^audio\/(x-)?mpegurl$/.test(mimeType))
    return 'hls';
  if (mimeType.startsWith('video/')) return 'video';
  if (mimeType.startsWith('audio/')) return 'audio';
  if (mimeType === '' && /\.m3u8(\?|$)/i.test(url)) return 'hls';
  return null;
}
