import {test} from 'node:test';
import assert from 'node:assert/strict';

import {FIRST_RETRY_MS, LONGEST_RETRY_MS, Link, NOTICE_GRACE_MS, SEND_SPACING_MS, SUBPROTOCOL} from '../src/link.js';

// A clock and timers under the test's control, and sockets it opens, feeds and closes by hand.
class World {
  constructor() {
    this.time = 1000;
    this.timers = [];
    this.sockets = [];
    this.link = new Link({
      socketFactory: (url, protocol) => {
        const socket = {url, protocol, sent: [], closed: false, send(text) { this.sent.push(text); },
                        close() { this.closed = true; }};
        this.sockets.push(socket);
        return socket;
      },
      now: () => this.time,
      setTimer: (callback, delay) => {
        const timer = {at: this.time + delay, callback};
        this.timers.push(timer);
        return timer;
      },
      clearTimer: (timer) => {
        this.timers = this.timers.filter((candidate) => candidate !== timer);
      },
    });
  }

  get socket() {
    return this.sockets[this.sockets.length - 1];
  }

  async advance(ms) {
    const end = this.time + ms;
    for (;;) {
      await settle();
      const due = this.timers.filter((timer) => timer.at <= end).sort((a, b) => a.at - b.at)[0];
      if (!due) break;
      this.timers = this.timers.filter((timer) => timer !== due);
      this.time = due.at;
      due.callback();
    }
    this.time = end;
    await settle();
  }

  open() {
    this.socket.onopen();
  }

  say(text) {
    this.socket.onmessage({data: text});
  }

  fail() {
    this.socket.onerror();
    this.socket.onclose();
  }
}

const settle = () => new Promise((resolve) => setImmediate(resolve));

test('connects to the loopback port with the link subprotocol', () => {
  const world = new World();
  world.link.connect();
  assert.equal(world.socket.url, 'ws://127.0.0.1:10007/');
  assert.equal(world.socket.protocol, SUBPROTOCOL);
  world.link.connect();
  assert.equal(world.sockets.length, 1, 'no second socket while one is opening');
});

test('while the program is away the pause between attempts doubles up to a minute', async () => {
  const world = new World();
  world.link.connect();
  const pauses = [];
  for (let i = 0; i < 9; ++i) {
    const started = world.time;
    const count = world.sockets.length;
    world.fail();
    while (world.sockets.length === count) await world.advance(100);
    pauses.push(world.time - started);
  }
  assert.deepEqual(pauses, [1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000]);
  // Once the program answers, the next loss starts from the shortest pause again.
  world.open();
  world.fail();
  assert.equal(world.timers[0].at - world.time, FIRST_RETRY_MS);
  assert.ok(LONGEST_RETRY_MS === 60000);
});

test('reads the waiting notices', () => {
  const world = new World();
  world.link.connect();
  world.open();
  assert.equal(world.link.waiting, false);
  world.say('waiting');
  assert.equal(world.link.waiting, true);
  world.say('something else');
  assert.equal(world.link.waiting, true);
  world.say('nowaiting');
  assert.equal(world.link.waiting, false);
  world.say('waiting');
  world.fail();
  assert.equal(world.link.waiting, false, 'a lost link forgets what the program said');
});

test('answers reach the captures in the order they were sent', async () => {
  const world = new World();
  world.link.connect();
  world.open();
  const first = world.link.send('one', world.time + 2000);
  await world.advance(0);
  const second = world.link.send('two', world.time + 5000);
  await world.advance(SEND_SPACING_MS);
  assert.deepEqual(world.socket.sent, ['one', 'two']);
  world.say('waiting');
  world.say('accepted');
  world.say('refused');
  assert.equal(await first, 'accepted');
  assert.equal(await second, 'refused');
});

test('captures are spaced so that the program never takes one for a repeat', async () => {
  const world = new World();
  world.link.connect();
  world.open();
  const sentAt = [];
  const original = world.socket.send;
  world.socket.send = function (text) {
    sentAt.push(world.time);
    original.call(this, text);
  };
  for (const text of ['a', 'b', 'c']) world.link.send(text, world.time + 10000);
  await world.advance(3000);
  assert.equal(sentAt.length, 3);
  assert.ok(sentAt[1] - sentAt[0] >= SEND_SPACING_MS && sentAt[2] - sentAt[1] >= SEND_SPACING_MS, String(sentAt));
});

test('no answer within the deadline is a timeout, and a late answer does not go to the next capture', async () => {
  const world = new World();
  world.link.connect();
  world.open();
  const slow = world.link.send('slow', world.time + 2000);
  await world.advance(2000);
  assert.equal(await slow, 'timeout');
  const next = world.link.send('next', world.time + 2000);
  await world.advance(SEND_SPACING_MS);
  world.say('accepted');
  await world.advance(10);
  // The late "accepted" belonged to the first capture.
  world.say('refused');
  assert.equal(await next, 'refused');
});

test('a link that closes before answering leaves the capture unanswered', async () => {
  const world = new World();
  world.link.connect();
  world.open();
  const answer = world.link.send('x', world.time + 2000);
  await world.advance(0);
  world.fail();
  assert.equal(await answer, 'down');
});

test('a capture on a closed link tries at once, without waiting for the retry pause', async () => {
  const world = new World();
  world.link.connect();
  world.fail();
  assert.equal(world.sockets.length, 1);
  const answer = world.link.send('now', world.time + 2000);
  await world.advance(0);
  assert.equal(world.sockets.length, 2, 'opened at once');
  world.open();
  await world.advance(0);
  assert.deepEqual(world.socket.sent, ['now']);
  world.say('accepted');
  assert.equal(await answer, 'accepted');
});

test('a program that is not running leaves the capture with the browser', async () => {
  const world = new World();
  const answer = world.link.send('x', world.time + 2000);
  await world.advance(0);
  world.fail();
  assert.equal(await answer, 'down');
  // A socket that never opens is given up at the deadline too.
  const hanging = world.link.send('y', world.time + 2000);
  await world.advance(2000);
  assert.equal(await hanging, 'down');
});

test('the waiting flag of a fresh link is trusted after its notice or a short grace', async () => {
  const world = new World();
  world.link.connect();
  world.open();
  const early = world.link.knownWaiting(world.time + 2000);
  await world.advance(10);
  world.say('waiting');
  assert.equal(await early, true);

  const quiet = new World();
  quiet.link.connect();
  quiet.open();
  const flag = quiet.link.knownWaiting(quiet.time + 2000);
  await quiet.advance(NOTICE_GRACE_MS);
  assert.equal(await flag, false);
});

test('moving to another port drops the old connection and opens a new one', () => {
  const world = new World();
  world.link.connect();
  world.open();
  world.link.setPort(4321);
  assert.equal(world.sockets[0].closed, true);
  assert.equal(world.socket.url, 'ws://127.0.0.1:4321/');
  // The old socket's late close event changes nothing.
  world.sockets[0].onclose();
  assert.equal(world.sockets.length, 2);
});

test('waking keeps to the retry pause while one is due', async () => {
  const world = new World();
  world.link.connect();
  world.fail();
  world.link.wake();
  assert.equal(world.sockets.length, 1, 'the pending retry decides');
  await world.advance(FIRST_RETRY_MS);
  assert.equal(world.sockets.length, 2);
  world.open();
  world.link.wake();
  assert.equal(world.sockets.length, 2, 'an open link stays as it is');
});
