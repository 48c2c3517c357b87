// Deciding which downloads go to Brellin, and describing a browser download as a capture.

// The last path segment of a URL, decoded, or '' when it has none.
export function fileNameOfUrl(url) {
  try {
    const segment = new URL(url).pathname.split('/').pop() || '';
    return decodeURIComponent(segment);
  } catch {
    return '';
  }
}

// The name a Content-Disposition header gives, or ''.
export function fileNameOfDisposition(header) {
  if (!header) return '';
  const extended = /filename\*\s*=\s*[^']*'[^']*'([^;]+)/i.exec(header);
  if (extended) {
    try {
      return decodeURIComponent(extended[1].trim());
    } catch {
      // Fall through to the plain form.
    }
  }
  const plain = /filename\s*=\s*("([^"]*)"|[^;]+)/i.exec(header);
  if (!plain) return '';
  return (plain[2] !== undefined ? plain[2] : plain[1]).trim();
}

export function baseName(path) {
  return String(path || '').split(/[\\/]/).pop();
}

export function extensionOf(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 && dot < name.length - 1 ? name.slice(dot + 1).toLowerCase() : '';
}

// Schemes whose bytes live only in the browser: the program could not fetch them.
export function fetchable(url) {
  return /^(https?|ftp):\/\//i.test(url || '');
}

// download: {url, fileName, size, mimeType}. Returns null when Brellin should take it, else the reason
// the browser keeps it. While the program waits for a fresh link, its own request decides, not the options.
export function reasonToLeave(download, options, waiting) {
  if (!fetchable(download.url)) return 'not fetchable';
  if (waiting) return null;
  if (!options.capture) return 'capture off';
  if (options.minimumSizeKiB > 0 && download.size > 0 && download.size < options.minimumSizeKiB * 1024)
    return 'too small';
  const type = extensionOf(download.fileName || fileNameOfUrl(download.url));
  if (type && options.leaveTypes.includes(type)) return 'type left to the browser';
  return null;
}

// Header pairs as the webRequest API gives them -> [[name, value]].
export function headerPairs(requestHeaders) {
  return (requestHeaders || [])
    .filter((header) => typeof header.name === 'string' && typeof header.value === 'string')
    .map((header) => [header.name, header.value]);
}

export function headerValue(pairs, name) {
  const lower = name.toLowerCase();
  const found = (pairs || []).find(([key]) => key.toLowerCase() === lower);
  return found ? found[1] : '';
}

// Builds the capture of a browser download.
// item: the downloads API's DownloadItem; request: what the request log saw of its request (or null);
// tab: {url, title} of the page it came from (or null); cookieHeader: the cookies for its URL.
export function captureOfDownload({item, request, tab, cookieHeader, userAgent}) {
  const url = item.finalUrl || item.url;
  const headers = request ? [...request.headers] : [];
  if (cookieHeader && !headerValue(headers, 'cookie')) headers.push(['Cookie', cookieHeader]);
  const referrer = item.referrer || headerValue(headers, 'referer') || '';
  const size = item.totalBytes > 0 ? item.totalBytes : item.fileSize > 0 ? item.fileSize : request?.size || 0;
  const pageUrl = tab?.url && fetchable(tab.url) ? tab.url : referrer;
  return {
    url,
    method: request?.method || 'GET',
    postData: request ? request.body : '',
    fileName: baseName(item.filename) || request?.fileName || fileNameOfUrl(url),
    size,
    mimeType: item.mime || request?.mimeType || '',
    pageUrl,
    pageTitle: tab?.title || '',
    referrer,
    userAgent,
    linkTitle: '',
    linkType: 'normal',
    headers,
  };
}

// Builds the capture of a link the user asked Brellin for through the context menu.
export function captureOfLink({info, tab, cookieHeader, userAgent}) {
  const pageUrl = info.frameUrl || info.pageUrl || tab?.url || '';
  return {
    url: info.linkUrl,
    method: 'GET',
    postData: '',
    fileName: fileNameOfUrl(info.linkUrl),
    size: 0,
    mimeType: '',
    pageUrl: info.pageUrl || tab?.url || '',
    pageTitle: tab?.title || '',
    referrer: fetchable(pageUrl) ? pageUrl : '',
    userAgent,
    linkTitle: info.linkText || '',
    linkType: 'normal',
    headers: cookieHeader ? [['Cookie', cookieHeader]] : [],
  };
}

// Builds the capture of the media a page played: a pair when separate audio and video were seen.
export function captureOfMedia({media, tab, cookieHeader, userAgent}) {
  const pageUrl = tab?.url || '';
  const base = {
    method: 'GET',
    postData: '',
    pageUrl,
    pageTitle: tab?.title || '',
    referrer: fetchable(pageUrl) ? pageUrl : '',
    userAgent,
    linkTitle: tab?.title || '',
    headers: cookieHeader ? [['Cookie', cookieHeader]] : [],
  };
  if (media.video && media.audio) {
    return {...base, url: media.video.url, audioUrl: media.audio.url, linkType: 'media',
            mimeType: media.video.mimeType, size: media.video.size};
  }
  const single = media.hls || media.video || media.audio;
  if (!single) return null;
  return {...base, url: single.url, linkType: media.hls ? 'hls' : 'media', mimeType: single.mimeType,
          size: single.size};
}
