import {normaliseOptions, parseTypeList} from './options.js';

const api = globalThis.browser ?? globalThis.chrome;
const capture = document.getElementById('capture');
const minimumSize = document.getElementById('minimumSize');
const leaveTypes = document.getElementById('leaveTypes');
const status = document.getElementById('status');

api.storage.local.get(null).then((stored) => {
  const options = normaliseOptions(stored);
  capture.checked = options.capture;
  minimumSize.value = String(options.minimumSizeKiB);
  leaveTypes.value = options.leaveTypes.join(', ');
});

function save() {
  const options = normaliseOptions({
    capture: capture.checked,
    minimumSizeKiB: Number(minimumSize.value),
    leaveTypes: parseTypeList(leaveTypes.value),
  });
  api.storage.local.set(options).then(() => {
    status.textContent = 'Saved.';
  });
}

for (const element of [capture, minimumSize, leaveTypes]) element.addEventListener('change', save);
