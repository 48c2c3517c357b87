// The user's choices, kept in the extension's local storage.

export const DEFAULT_OPTIONS = Object.freeze({
  capture: true,
  // Downloads smaller than this many KiB stay with the browser (0: no limit). Unknown sizes are taken.
  minimumSizeKiB: 0,
  // File extensions, without the dot, that stay with the browser.
  leaveTypes: [],
});

// "pdf, .JPG  zip" -> ["pdf", "jpg", "zip"]
export function parseTypeList(text) {
  const types = String(text || '')
    .split(/[\s,;]+/)
    .map((word) => word.trim().replace(/^\.+/, '').toLowerCase())
    .filter((word) => /^[a-z0-9][a-z0-9_+-]{0,15}$/.test(word));
  return [...new Set(types)];
}

// Whatever storage holds, the result has the right types.
export function normaliseOptions(stored) {
  const options = {...DEFAULT_OPTIONS, ...(stored || {})};
  const size = Number(options.minimumSizeKiB);
  return {
    capture: options.capture !== false,
    minimumSizeKiB: Number.isFinite(size) && size > 0 ? Math.floor(size) : 0,
    leaveTypes: Array.isArray(options.leaveTypes) ? parseTypeList(options.leaveTypes.join(' ')) : [],
  };
}
