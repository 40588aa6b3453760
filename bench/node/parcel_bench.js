// The Node.js peer: @parcel/watcher on its inotify backend. The backend is named because with a
// `watchman` binary on the PATH the package would switch to watchman on its own.
//
//   node parcel_bench.js latency ROOT PROBE_DIR ROUNDS SAMPLES GAP_MS
//       setup rounds (subscribe until it resolves), then wake samples; prints JSON
//   node parcel_bench.js cold ROOT
//       one setup with no warm-up, for the harness to run once it has dropped the page cache
//   node parcel_bench.js serve ROOT
//       prints "ready" once subscribed, counts the callbacks, answers each "count" line on
//       standard input with "count N", and unsubscribes at the end of its input
'use strict';

const fs = require('fs');
const path = require('path');
const readline = require('readline');
const watcher = require('@parcel/watcher');

const OPTIONS = {backend: 'inotify'};
const WARM_UP_SAMPLES = 5;

const now = () => process.hrtime.bigint();
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const micros = (from, to) => Number(to - from) / 1000;

// Subscribes with no callback and unsubscribes; resolves to how long the subscription took.
async function setupMs(root) {
  const start = now();
  const subscription = await watcher.subscribe(root, () => {}, OPTIONS);
  const watched = now();
  await subscription.unsubscribe();
  return micros(start, watched) / 1000;
}

async function latency(root, probeDirectory, rounds, samples, gapMs) {
  const setups = [];
  // Round 0 only warms the caches.
  for (let round = 0; round <= rounds; ++round) {
    const setup = await setupMs(root);
    if (round > 0) setups.push(setup);
  }

  let called = null;
  const subscription = await watcher.subscribe(root, () => {
    if (called) called(now());
  }, OPTIONS);
  const file = path.join(probeDirectory, 'latency-probe');
  const fd = fs.openSync(file, 'a');
  const wakes = [];
  for (let i = 0; i <= WARM_UP_SAMPLES + samples; ++i) {
    await sleep(gapMs);
    const answered = new Promise((resolve) => { called = resolve; });
    const writtenAt = now();
    fs.writeSync(fd, 'x');
    const calledAt = await answered;
    called = null;
    if (i > WARM_UP_SAMPLES) wakes.push(micros(writtenAt, calledAt));
  }
  fs.closeSync(fd);
  fs.unlinkSync(file);
  await subscription.unsubscribe();
  process.stdout.write(JSON.stringify({setup_ms: setups, wake_us: wakes}) + '\n');
}

async function serve(root) {
  let calls = 0;
  const subscription = await watcher.subscribe(root, () => { ++calls; }, OPTIONS);
  process.stdout.write('ready\n');
  const lines = readline.createInterface({input: process.stdin});
  lines.on('line', (line) => {
    if (line === 'count') process.stdout.write(`count ${calls}\n`);
  });
  lines.on('close', () => subscription.unsubscribe());
}

async function main(args) {
  if (args.length === 6 && args[0] === 'latency') {
    await latency(args[1], args[2], Number(args[3]), Number(args[4]), Number(args[5]));
  } else if (args.length === 2 && args[0] === 'cold') {
    process.stdout.write(JSON.stringify({setup_ms: [await setupMs(args[1])]}) + '\n');
  } else if (args.length === 2 && args[0] === 'serve') {
    await serve(args[1]);
  } else {
    process.stderr.write(
        'usage: latency ROOT PROBE_DIR ROUNDS SAMPLES GAP_MS | cold ROOT | serve ROOT\n');
    process.exitCode = 2;
  }
}

main(process.argv.slice(2)).catch((error) => {
  process.stderr.write(`${error.stack}\n`);
  process.exitCode = 1;
});
