// The web page in headless Chromium while the real program decodes an IQ
// recording fed through a pipe: first in real time (a call appears, runs
// and ends, with its recording), then at full speed (minutes of traffic for
// the history, its filter and pages, the events and the chart).
//
//   node page.test.js MARROWIT MPTGEN OUTDIR
//
// Screenshots go to OUTDIR/web.png (the whole page) and OUTDIR/web-call.png
// (a call going on).  Exit status 0 when every check held, 1 otherwise.
'use strict';

const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');

const [marrowit, mptgen, outdir] = process.argv.slice(2);
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const RATE = 250000;           // IQ samples per second
const CENTER = 420100000;      // the control channel (420.0 MHz) and channels 4-16 inside
const failures = [];

function check(ok, what) {
  console.log((ok ? 'ok   ' : 'FAIL ') + what);
  if (!ok) failures.push(what);
}

function freePort() {
  return new Promise((resolve) => {
    const s = net.createServer();
    s.listen(0, '127.0.0.1', () => {
      const port = s.address().port;
      s.close(() => resolve(port));
    });
  });
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function render(dir, name, script) {
  const file = path.join(dir, name);
  execFileSync(mptgen, ['-t', 'cu8', '--rate', String(RATE), '--center', String(CENTER), '-o', file, '-'],
               { input: script });
  return fs.readFileSync(file);
}

// Calls between a few units on channels 4, 8, 12 and 16, with short data
// and emergencies among them.
function traffic(rounds) {
  let s = '';
  for (let r = 0; r < rounds; r++) {
    const chan = 4 * (1 + r % 4), a = 100 + r % 7, b = 200 + r % 5;
    s += `ccsc 0x1234\ngtc pfix=12 ident1=${a} ident2=${b} chan=${chan}\npreamble 360\nccsc 0x1234\n`;
    if (r % 10 === 1) s += `sam pfix=12 ident1=${a}\nccsc 0x1234\n`;
    if (r % 25 === 2) s += 'req func=0 pfix=12 ident1=345 ident2=678 voice=1 emerg=1\nccsc 0x1234\n';
    s += `clear chan=${chan} cont=5\n`;
  }
  return s;
}

// Write data to the pipe at the rate of the IQ samples, in 50 ms pieces.
async function paced(stream, data) {
  const piece = RATE * 2 / 20;
  for (let at = 0; at < data.length; at += piece) {
    if (!stream.write(data.subarray(at, at + piece))) await new Promise((r) => stream.once('drain', r));
    await sleep(50);
  }
}

function write(stream, data) {
  return new Promise((resolve) => {
    if (stream.write(data)) resolve(); else stream.once('drain', resolve);
  });
}

const NAME = '<img src=x onerror="window.pwned=1"> "Caf\u00e9" <script>window.pwned=2</script>';

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'marrowit-browser-'));
  // The name as a settings file holds it in Latin-1: é as one byte that is
  // not UTF-8.
  fs.writeFileSync(path.join(dir, 'solvane.ini'), Buffer.concat([
    Buffer.from('[general]\nTARGET_PREF=9999\nFILTER=4\n[rs232]\nRADIO=0\n[0x1234]\nNAME='),
    Buffer.from(NAME, 'latin1'), Buffer.from('\n')]));

  // One call from 1.3 s to 7.5 s, another from 3.4 s to 9.6 s.
  const live = render(dir, 'live.cu8',
    'ccsc 0x1234\nsam pfix=12 ident1=100\nccsc 0x1234\n' +
    'req func=0 pfix=12 ident1=345 ident2=678 voice=1 emerg=1\nccsc 0x1234\npreamble 1200\n' +
    'ccsc 0x1234\ngtc pfix=12 ident1=345 ident2=678 chan=4\npreamble 2400\n' +
    'ccsc 0x1234\ngtc pfix=12 ident1=101 ident2=202 chan=8\npreamble 4800\n' +
    'ccsc 0x1234\nclear chan=4 cont=5\npreamble 2400\nccsc 0x1234\nclear chan=8 cont=5\npreamble 1200\n');
  // Three minutes more, for the history and the statistics.
  const fast = render(dir, 'fast.cu8', traffic(420) + 'ccsc 0x1234\npreamble 600\n');

  const port = await freePort();
  const prog = spawn(marrowit, ['--http', String(port), '--center', String(CENTER), '--rate', String(RATE),
                                '--record', 'calls', '--json', 'events.json', 'iq:-'],
                     { cwd: dir, stdio: ['pipe', 'ignore', 'pipe'] });
  let stderr = '';
  prog.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => prog.on('exit', (code) => resolve(code)));
  for (let k = 0; k < 100; k++) {
    const up = await new Promise((resolve) => {
      const c = net.connect(port, '127.0.0.1', () => { c.end(); resolve(true); });
      c.on('error', () => resolve(false));
    });
    if (up) break;
    await sleep(50);
  }

  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--autoplay-policy=no-user-gesture-required'],
  });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1280, height: 900 });
    const errors = [];
    page.on('pageerror', (e) => errors.push(String(e)));
    page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
    await page.goto(`http://127.0.0.1:${port}/`, { waitUntil: 'load' });
    await page.waitForFunction(() => document.getElementById('link').textContent === 'live', { timeout: 10000 });
    check(true, 'the page follows the event stream');

    const feeding = paced(prog.stdin, live);
    // The system, with its name as text.
    await page.waitForFunction(() => document.querySelectorAll('#systems tbody tr').length === 1, { timeout: 10000 });
    const sys = await page.$eval('#systems tbody tr', (tr) => [...tr.cells].map((c) => c.textContent));
    check(sys[1] === '0x1234', 'the system is listed: ' + sys[1]);
    check(sys[2] === NAME, 'its NAME is shown as text: ' + sys[2]);
    check(sys[3] === '420.0000 MHz', 'its control channel: ' + sys[3]);

    // A call appears, runs and ends.
    await page.waitForFunction(() => document.querySelector('#now tbody tr[data-channel="4"]'), { timeout: 10000 });
    const row = () => page.$eval('#now tbody tr[data-channel="4"]', (tr) => [...tr.cells].map((c) => c.textContent));
    const first = await row();
    check(first[2] === '420.0500 MHz' && first[3] === '(12) 678' && first[4] === '(12) 345' && first[5] === 'yes',
          'the call is going on: ' + first.join(' | '));
    check(await page.$eval('#board .chan[data-channel="4"]', (d) => d.classList.contains('busy')),
          'its channel is busy on the board');
    await page.waitForFunction(() => document.querySelector('#now tbody tr[data-channel="8"]'), { timeout: 10000 });
    await sleep(1500);
    await page.screenshot({ path: path.join(outdir, 'web-call.png') });
    const later = await row();
    const secs = (t) => { const [m, s] = t.split(':').map(Number); return m * 60 + s; };
    check(secs(later[6]) >= secs(first[6]) + 2, `its duration runs: ${first[6]} then ${later[6]}`);
    await page.waitForFunction(() => !document.querySelector('#now tbody tr[data-channel="4"]'), { timeout: 15000 });
    check(await page.$eval('#board .chan[data-channel="4"]', (d) => !d.classList.contains('busy')),
          'the call ended: its channel is idle');
    await page.waitForFunction(() => document.querySelectorAll('#history tbody tr').length >= 1, { timeout: 5000 });
    const ended = await page.$eval('#history tbody tr', (tr) => [...tr.cells].map((c) => c.textContent));
    check(ended[2] === '4' && ended[7] === 'clear', 'it is the first of the recent calls: ' + ended.join(' | '));
    await feeding;
    await page.waitForFunction(() => document.getElementById('now-none').hidden === false, { timeout: 10000 });

    // The recording plays: its audio element loads the WAV.
    const audio = await page.waitForFunction(() => {
      const a = document.querySelector('#history tbody tr audio');
      return a && a.readyState >= 1 && a.duration > 0 ? { src: a.getAttribute('src'), duration: a.duration } : null;
    }, { timeout: 10000 });
    const played = await audio.jsonValue();
    const events = fs.readFileSync(path.join(dir, 'events.json'), 'utf8').trim().split('\n').map((l) => JSON.parse(l));
    const lastEnd = events.filter((e) => e.type === 'call_end').pop();
    check(played.src === '/recordings/' + encodeURIComponent(path.basename(lastEnd.file)),
          'the player plays the call\'s file: ' + played.src);
    check(Math.abs(played.duration - lastEnd.duration) < 0.2,
          `the recording lasts as the call: ${played.duration} s and ${lastEnd.duration} s`);
    const playing = await page.evaluate(async () => {
      const a = document.querySelector('#history tbody tr audio');
      a.muted = true;
      try { await a.play(); } catch (e) { return String(e); }
      // A busy machine may take a while to start the sound: up to 5 s.
      for (let k = 0; k < 50 && !(a.currentTime > 0); k++)
        await new Promise((r) => setTimeout(r, 100));
      return a.currentTime > 0 ? 'playing' : 'still at ' + a.currentTime;
    });
    check(playing === 'playing', 'it plays: ' + playing);

    // Minutes of traffic at full speed.
    await write(prog.stdin, fast);
    const allEnded = () => fs.readFileSync(path.join(dir, 'events.json'), 'utf8').split('"type":"call_end"').length - 1;
    for (let k = 0; k < 600 && allEnded() < 422; k++) await sleep(100);
    check(allEnded() === 422, '422 calls decoded');
    await sleep(1000);
    const total = await page.$eval('#page', (p) => p.textContent);
    check(total === '1-20 of 422', 'the history pages: ' + total);
    await page.click('#older');
    await page.waitForFunction(() => document.getElementById('page').textContent === '21-40 of 422', { timeout: 5000 });
    check(true, 'the next page');
    await page.click('#newer');
    await page.waitForFunction(() => document.getElementById('page').textContent === '1-20 of 422', { timeout: 5000 });

    // The filter: by unit, by channel, both.
    const calls = fs.readFileSync(path.join(dir, 'events.json'), 'utf8').trim().split('\n')
      .map((l) => JSON.parse(l)).filter((e) => e.type === 'call_end');
    for (const [unit, channel] of [['203', ''], ['', '12'], ['105', '8'], ['9999', '']]) {
      await page.$eval('#f-unit', (i, v) => { i.value = v; }, unit);
      await page.$eval('#f-channel', (i, v) => { i.value = v; }, channel);
      await page.click('#filter button[type=submit]');
      const want = calls.filter((c) => (unit === '' || c.ident1 === +unit || c.ident2 === +unit) &&
                                       (channel === '' || c.channel === +channel));
      const label = want.length ? `1-${Math.min(20, want.length)} of ${want.length}` : 'no calls';
      await page.waitForFunction((l) => document.getElementById('page').textContent === l, { timeout: 5000 }, label);
      const rows = await page.$$eval('#history tbody tr', (trs) => trs.map((tr) => [...tr.cells].map((c) => c.textContent)));
      const newest = want.slice(-20).reverse();
      const same = rows.length === newest.length && rows.every((r, k) =>
        r[2] === String(newest[k].channel) && r[4] === `(12) ${newest[k].ident2}` && r[5] === `(12) ${newest[k].ident1}`);
      check(same, `the filter unit=${unit} channel=${channel}: ${label}`);
    }
    await page.click('#f-clear');
    await page.waitForFunction(() => document.getElementById('page').textContent === '1-20 of 422', { timeout: 5000 });

    // The events and the chart.
    const kinds = await page.$$eval('#events tbody tr', (trs) => trs.map((tr) => tr.cells[2].textContent));
    check(kinds.includes('SAM') && kinds.includes('RQS'), 'short data and emergencies are in the events: ' +
          [...new Set(kinds)].join(' '));
    check(await page.$$eval('#events tbody tr.emergency', (t) => t.length) > 0, 'emergencies stand out');
    const statsCount = (await (await fetch(`http://127.0.0.1:${port}/api/stats`)).json()).stats.length;
    check(statsCount >= 3, `${statsCount} minutes of statistics for the chart`);
    const inked = await page.$eval('#chart', (c) => {
      const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      let n = 0;
      for (let i = 3; i < d.length; i += 4) if (d[i]) n++;
      return n;
    });
    check(inked > 1000, 'the chart is drawn');

    // Nothing from the air or the settings became markup.
    const pwned = await page.evaluate(() => window.pwned);
    check(pwned === undefined, 'no script from the NAME ran');
    check(await page.$$eval('main img, main script', (e) => e.length) === 0, 'no element from the NAME');
    check(errors.length === 0, 'no error in the page: ' + errors.join('; '));

    await page.evaluate(() => window.scrollTo(0, 0));
    await page.screenshot({ path: path.join(outdir, 'web.png') });
  } finally {
    await browser.close();
    prog.stdin.end();
  }
  const code = await exited;
  check(code === 0, 'marrowit ended with status ' + code + ' ' + stderr.trim());
  fs.rmSync(dir, { recursive: true, force: true });
}

main().then(() => {
  console.log(failures.length ? `${failures.length} check(s) failed` : 'every check held');
  process.exit(failures.length ? 1 : 0);
}, (e) => {
  console.error(e);
  process.exit(1);
});
