import {start} from './controller.js';

// Firefox offers the promise-based browser namespace; Chromium's chrome namespace returns promises too.
globalThis.brellin = start(globalThis.browser ?? globalThis.chrome);
