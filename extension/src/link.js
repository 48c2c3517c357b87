// The connection to the program's browser link: one WebSocket to the loopback port, reopened with a
// growing pause while the program is not running, carrying captures out and the program's answers in.

export const SUBPROTOCOL = 'vornextension.v1';
export const DEFAULT_PORT = 10007;
export const FIRST_RETRY_MS = 1000;
export const LONGEST_RETRY_MS = 60000;
// The program drops a message that comes within 500 ms of the one before it as a repeat: captures are
// spaced further apart so that an answered capture is never one the program then discards.
export const SEND_SPACING_MS = 600;
// The program announces a waiting download right behind its handshake reply.
export const NOTICE_GRACE_MS = 250;

export class Link {
  // socketFactory(url, protocol) returns a WebSocket-like object; timers are injectable for tests.
  // The timer defaults are wrapped: a browser's setTimeout called as a method of another object throws.
  constructor({socketFactory, port = DEFAULT_PORT, now = () => Date.now(),
               setTimer = (callback, ms) => setTimeout(callback, ms), clearTimer = (timer) => clearTimeout(timer),
               onChange = () => {}}) {
    this.socketFactory = socketFactory;
    this.port = port;
    this.now = now;
    this.setTimer = setTimer;
    this.clearTimer = clearTimer;
    this.onChange = onChange;
    this.socket = null;
    this.open = false;
    this.waiting = false;
    this.openedAt = 0;
    this.noticeSeen = false;
    this.retryMs = FIRST_RETRY_MS;
    this.retryTimer = null;
    this.pending = [];
    this.openWaiters = [];
    this.noticeWaiters = [];
    this.lastSendAt = -Infinity;
    this.sendChain = Promise.resolve();
    this.stopped = false;
  }

  get url() {
    return `ws://127.0.0.1:${this.port}/`;
  }

  // Opens the link now unless it is open or opening.
  connect() {
    if (this.socket || this.stopped) return;
    if (this.retryTimer !== null) {
      this.clearTimer(this.retryTimer);
      this.retryTimer = null;
    }
    let socket;
    try {
      socket = this.socketFactory(this.url, SUBPROTOCOL);
    } catch {
      this.scheduleRetry();
      return;
    }
    this.socket = socket;
    socket.onopen = () => {
      if (this.socket !== socket) return;
      this.open = true;
      this.openedAt = this.now();
      this.noticeSeen = false;
      this.retryMs = FIRST_RETRY_MS;
      this.resolveOpenWaiters(true);
      this.onChange(this);
    };
    socket.onmessage = (event) => {
      if (this.socket === socket) this.received(String(event.data));
    };
    // An unreachable program is normal: no error is reported, the link just tries again later.
    socket.onerror = () => {};
    socket.onclose = () => {
      if (this.socket === socket) this.dropped();
    };
  }

  // A background that was asleep opens the link again, unless a retry is already due.
  wake() {
    if (!this.socket && this.retryTimer === null) this.connect();
  }

  received(text) {
    if (text === 'waiting' || text === 'nowaiting') {
      this.waiting = text === 'waiting';
      this.noticeSeen = true;
      for (const resolve of this.noticeWaiters.splice(0)) resolve();
      this.onChange(this);
    } else if (text === 'accepted' || text === 'refused') {
      // Answers come in the order the captures went out.
      const next = this.pending.shift();
      if (next) next(text);
    }
  }

  dropped() {
    const wasOpen = this.open;
    this.socket = null;
    this.open = false;
    // The next connection hears afresh whether the program waits.
    this.waiting = false;
    // Nothing answers on a closed link.
    for (const resolve of this.pending.splice(0)) resolve('down');
    this.resolveOpenWaiters(false);
    for (const resolve of this.noticeWaiters.splice(0)) resolve();
    if (wasOpen) this.onChange(this);
    this.scheduleRetry();
  }

  scheduleRetry() {
    if (this.stopped || this.retryTimer !== null) return;
    const delay = this.retryMs;
    this.retryMs = Math.min(this.retryMs * 2, LONGEST_RETRY_MS);
    this.retryTimer = this.setTimer(() => {
      this.retryTimer = null;
      this.connect();
    }, delay);
  }

  resolveOpenWaiters(value) {
    for (const resolve of this.openWaiters.splice(0)) resolve(value);
  }

  // Moves the link to another port (tests); the old connection goes.
  setPort(port) {
    if (port === this.port) return;
    this.port = port;
    this.retryMs = FIRST_RETRY_MS;
    this.reset();
    this.connect();
  }

  reset() {
    const socket = this.socket;
    if (!socket) return;
    try {
      socket.close();
    } catch {
      // Already closed.
    }
    // Its close event, when it comes, belongs to a socket no longer ours.
    this.dropped();
  }

  stop() {
    this.stopped = true;
    if (this.retryTimer !== null) this.clearTimer(this.retryTimer);
    this.retryTimer = null;
    this.reset();
  }

  // Resolves true once the link is open, false when it is not by the deadline (ms on the now() clock).
  // A capture does not wait for the retry pause: it tries at once.
  whenOpen(deadline) {
    if (this.open) return Promise.resolve(true);
    this.connect();
    if (!this.socket) return Promise.resolve(false);
    return this.withDeadline(new Promise((resolve) => this.openWaiters.push(resolve)), deadline, false);
  }

  // Resolves with the waiting flag once it can be trusted: after a notice, or a moment after opening.
  async knownWaiting(deadline) {
    if (!this.open) return this.waiting;
    const left = this.openedAt + NOTICE_GRACE_MS - this.now();
    if (!this.noticeSeen && left > 0) {
      const notice = new Promise((resolve) => this.noticeWaiters.push(resolve));
      await this.withDeadline(notice, Math.min(deadline, this.now() + left), undefined);
    }
    return this.waiting;
  }

  // Sends one capture message; resolves "accepted", "refused", "timeout" (no answer by the deadline) or
  // "down" (the link is not open or closed before answering).
  send(text, deadline) {
    // Only the sending is taken in turn; answers are awaited side by side.
    const sent = this.sendChain.then(() => this.transmit(text, deadline));
    this.sendChain = sent.then(() => undefined, () => undefined);
    return sent.then((result) => (typeof result === 'string' ? result : result.answer));
  }

  async transmit(text, deadline) {
    const gap = this.lastSendAt + SEND_SPACING_MS - this.now();
    if (gap > 0) await new Promise((resolve) => this.setTimer(resolve, gap));
    if (!this.open && !(await this.whenOpen(deadline))) return 'down';
    if (this.now() >= deadline) return 'timeout';
    const answer = new Promise((resolve) => this.pending.push(resolve));
    try {
      this.socket.send(text);
    } catch {
      this.pending.pop();
      return 'down';
    }
    this.lastSendAt = this.now();
    return {answer: this.withDeadline(answer, deadline, 'timeout')};
  }

  withDeadline(promise, deadline, fallback) {
    const left = Math.max(0, deadline - this.now());
    return new Promise((resolve) => {
      const timer = this.setTimer(() => resolve(fallback), left);
      promise.then((value) => {
        this.clearTimer(timer);
        resolve(value);
      });
    });
  }
}
