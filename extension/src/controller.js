// Wires the browser's APIs to the link: downloads the user starts, the context-menu entries, and the
// request and media logs they draw on. Listeners are registered at once, as a service worker must.

import {captureOfDownload, captureOfLink, captureOfMedia, fetchable, reasonToLeave} from './capture.js';
import {Link, DEFAULT_PORT} from './link.js';
import {buildCaptureMessage} from './message.js';
import {normaliseOptions} from './options.js';
import {MediaLog, RequestLog} from './requests.js';

// The browser's download is dropped only when the program said "accepted" within this time.
export const ANSWER_MS = 2000;
const MENU_LINK = 'brellin-link';
const MENU_MEDIA = 'brellin-media';
const JOURNAL_LENGTH = 50;
const REQUEST_WAIT_MS = 500;

export function start(api) {
  const requests = new RequestLog();
  const media = new MediaLog();
  let options = normaliseOptions(null);
  // What became of recent captures, newest last; the end-to-end tests read it.
  const journal = [];
  const link = new Link({socketFactory: (url, protocol) => new WebSocket(url, protocol)});

  const note = (entry) => {
    journal.push({...entry, at: Date.now()});
    if (journal.length > JOURNAL_LENGTH) journal.shift();
  };

  const loaded = api.storage.local.get(null).then((stored) => {
    options = normaliseOptions(stored);
    const port = Number(stored.linkPort);
    link.port = Number.isInteger(port) && port > 0 && port < 65536 ? port : DEFAULT_PORT;
    link.connect();
  }, () => link.connect());

  api.storage.onChanged.addListener((changes, area) => {
    if (area !== 'local') return;
    api.storage.local.get(null).then((stored) => {
      options = normaliseOptions(stored);
      if (changes.linkPort) {
        const port = Number(stored.linkPort);
        link.setPort(Number.isInteger(port) && port > 0 && port < 65536 ? port : DEFAULT_PORT);
      }
    });
  });

  const cookieHeader = async (url) => {
    if (!api.cookies || !fetchable(url)) return '';
    try {
      const cookies = await api.cookies.getAll({url});
      return cookies.map((cookie) => `${cookie.name}=${cookie.value}`).join('; ');
    } catch {
      return '';
    }
  };

  const tabOf = async (tabId) => {
    if (!(tabId >= 0)) return null;
    try {
      return await api.tabs.get(tabId);
    } catch {
      return null;
    }
  };

  const handOver = async (capture, deadline) => {
    const message = buildCaptureMessage(capture);
    if (!message) return 'unsendable';
    return link.send(message, deadline);
  };

  // A download the browser started: it keeps it unless the program accepts it in time.
  api.downloads.onCreated.addListener((item) => {
    downloadCreated(item).catch((error) => note({downloadId: item.id, url: item.finalUrl || item.url,
                                                 outcome: 'kept', reason: `error: ${error}`}));
  });

  async function downloadCreated(item) {
    const deadline = Date.now() + ANSWER_MS;
    if (item.state && item.state !== 'in_progress') return;
    if (item.byExtensionId && item.byExtensionId === api.runtime.id) return;
    await loaded;
    const url = item.finalUrl || item.url;
    if (!fetchable(url)) {
      note({downloadId: item.id, url, outcome: 'kept', reason: 'not fetchable'});
      return;
    }
    await link.whenOpen(deadline);
    const waiting = await link.knownWaiting(deadline);
    // The request's own events and the download's final size may come a moment after the download.
    const urls = [item.finalUrl, item.url].filter(Boolean);
    await requests.answered(urls, Math.min(REQUEST_WAIT_MS, deadline - Date.now() - ANSWER_MS / 2));
    const request = requests.find(...urls);
    try {
      const [fresh] = await api.downloads.search({id: item.id});
      if (fresh) item = fresh;
    } catch {
      // The item as first reported will do.
    }
    const [tab, cookies] = await Promise.all([tabOf(request?.tabId), cookieHeader(url)]);
    const capture = captureOfDownload({item, request, tab, cookieHeader: cookies, userAgent: navigator.userAgent});
    const reason = reasonToLeave(capture, options, waiting);
    if (reason) {
      note({downloadId: item.id, url, outcome: 'kept', reason});
      return;
    }
    const answer = await handOver(capture, deadline);
    if (answer !== 'accepted') {
      note({downloadId: item.id, url, outcome: 'kept', reason: answer});
      return;
    }
    try {
      await api.downloads.cancel(item.id);
      await api.downloads.erase({id: item.id});
    } catch {
      // A download that finished meanwhile stays where the browser put it.
    }
    note({downloadId: item.id, url, outcome: 'handed', reason: answer});
  }

  const refreshMediaMenu = async (tabId) => {
    try {
      await api.contextMenus.update(MENU_MEDIA, {visible: Boolean(media.forTab(tabId))});
    } catch {
      // The menu is being rebuilt.
    }
  };

  const createMenus = () => {
    Promise.resolve(api.contextMenus.removeAll()).then(() => {
      api.contextMenus.create({id: MENU_LINK, title: 'Download with Brellin', contexts: ['link']});
      api.contextMenus.create({id: MENU_MEDIA, title: 'Download this media with Brellin',
                               contexts: ['page', 'video', 'audio'], visible: false});
    });
  };
  api.runtime.onInstalled.addListener(createMenus);
  api.runtime.onStartup?.addListener(createMenus);

  api.contextMenus.onClicked.addListener(async (info, tab) => {
    const deadline = Date.now() + ANSWER_MS;
    await loaded;
    let capture = null;
    if (info.menuItemId === MENU_LINK && fetchable(info.linkUrl)) {
      capture = captureOfLink({info, tab, cookieHeader: await cookieHeader(info.linkUrl),
                               userAgent: navigator.userAgent});
    } else if (info.menuItemId === MENU_MEDIA && tab) {
      const seen = media.forTab(tab.id);
      if (seen) {
        const first = (seen.video || seen.hls || seen.audio).url;
        capture = captureOfMedia({media: seen, tab, cookieHeader: await cookieHeader(first),
                                  userAgent: navigator.userAgent});
      }
    }
    if (!capture) return;
    const answer = await handOver(capture, deadline);
    note({menu: info.menuItemId, url: capture.url, outcome: answer === 'accepted' ? 'handed' : 'not handed',
          reason: answer});
  });

  const filter = {urls: ['<all_urls>']};
  const extra = (name, base) => {
    const spec = api.webRequest[name];
    return spec && spec.EXTRA_HEADERS ? [...base, spec.EXTRA_HEADERS] : base;
  };
  api.webRequest.onBeforeRequest.addListener((details) => requests.started(details), filter, ['requestBody']);
  api.webRequest.onSendHeaders.addListener((details) => requests.headersSent(details), filter,
                                           extra('OnSendHeadersOptions', ['requestHeaders']));
  api.webRequest.onHeadersReceived.addListener((details) => {
    requests.headersReceived(details);
    if (media.seen(details)) refreshMediaMenu(details.tabId);
  }, filter, extra('OnHeadersReceivedOptions', ['responseHeaders']));

  api.tabs.onActivated.addListener(({tabId}) => refreshMediaMenu(tabId));
  api.tabs.onRemoved.addListener((tabId) => media.forget(tabId));
  api.tabs.onUpdated.addListener((tabId, change) => {
    if (change.url) media.forget(tabId);
  });

  // Wakes a sleeping background often enough to keep the link open while the program runs.
  api.alarms?.create('brellin-link', {periodInMinutes: 0.5});
  api.alarms?.onAlarm.addListener(() => link.wake());

  return {link, journal, requests, media, options: () => options};
}
