// The page in a real browser: Debian's chromium driven by playwright-core,
// against web/dist served on 127.0.0.1. A corpus module is opened through
// the file input, played, soloed, and its stems downloaded and compared
// byte for byte with the native program's `--stems MODULE song OUTDIR`.
//
// From the build: TUNEDUMP_WEB_DIST, TUNEDUMP_BINARY, TUNEDUMP_CORPUS_DIR,
// TUNEDUMP_ARTIFACTS (screenshot and downloads go there).
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const MODULE = 'android-commando_hiscore.mod';
const GAME = 'area1-game.mod'; // four tunes; the third is 9 s long
const GAME_SEQUENCE = 2;
const RATE = 48000; // headless chromium would run at 44100
const env = (name) => {
  if (!process.env[name]) throw new Error(`${name} is not set (run make test-web)`);
  return process.env[name];
};
const dist = env('TUNEDUMP_WEB_DIST');
const native = env('TUNEDUMP_BINARY');
const artifacts = env('TUNEDUMP_ARTIFACTS');
const modulePath = path.join(env('TUNEDUMP_CORPUS_DIR'), MODULE);
const gamePath = path.join(env('TUNEDUMP_CORPUS_DIR'), GAME);

if (!fs.existsSync(modulePath)) {
  console.log(`page tests skipped: ${modulePath} is absent`);
  process.exit(0);
}

function serve(root) {
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css' };
  const server = http.createServer((request, response) => {
    const file = path.join(root, path.normalize(decodeURIComponent(new URL(request.url, 'http://x').pathname)));
    if (!file.startsWith(root) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'content-type': types[path.extname(file)] || 'application/octet-stream' });
    response.end(fs.readFileSync(file));
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// Peak and RMS of the output over `ms`, from the page's AnalyserNode.
function listen(page, ms) {
  return page.evaluate(async (ms) => {
    const { analyser } = window.tunedump;
    const block = new Float32Array(analyser.fftSize);
    let peak = 0;
    let sum = 0;
    let count = 0;
    for (const end = performance.now() + ms; performance.now() < end; ) {
      analyser.getFloatTimeDomainData(block);
      for (const v of block) {
        peak = Math.max(peak, Math.abs(v));
        sum += v * v;
      }
      count += block.length;
      await new Promise((r) => setTimeout(r, 20));
    }
    return { peak, rms: Math.sqrt(sum / count) };
  }, ms);
}

const cases = [];
const test = (name, run) => cases.push({ name, run });
const expect = (ok, message) => {
  if (!ok) throw new Error(message);
};

test('loading shows the samples and the lanes', async (page) => {
  await page.locator('#file').setInputFiles(modulePath);
  await page.locator('#sample-list li').first().waitFor();
  const lanes = await page.locator('#sample-list li').count();
  const info = execFileSync(native, ['--info', modulePath], { encoding: 'utf8' });
  const withData = info.split('\n').filter((l) => /^\s*\d+\s/.test(l) && Number(l.slice(25).trim().split(/\s+/)[0]) > 0);
  expect(lanes === withData.length, `${lanes} lanes, ${withData.length} samples with data`);
  await page.waitForTimeout(300);
  await page.screenshot({ path: path.join(artifacts, 'page.png') });
  // Note marks are the only saturated pixels of the picture.
  const marks = await page.evaluate(() => {
    const canvas = document.getElementById('lanes');
    const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    let n = 0;
    for (let i = 0; i < data.length; i += 4) {
      if (Math.max(data[i], data[i + 1], data[i + 2]) - Math.min(data[i], data[i + 1], data[i + 2]) > 60) n++;
    }
    return n;
  });
  expect(marks > 500, `the lanes show ${marks} note pixels`);
});

test(`a dropped module plays at ${RATE} Hz within 1 s`, async (page) => {
  const rate = await page.evaluate(() => window.tunedump.audio.sampleRate);
  expect(rate === RATE, `context at ${rate}`);
  const dropped = await page.evaluateHandle(
    ([bytes, name]) => {
      const transfer = new DataTransfer();
      transfer.items.add(new File([new Uint8Array(bytes)], name));
      return transfer;
    },
    [[...fs.readFileSync(modulePath)], MODULE],
  );
  await page.dispatchEvent('body', 'drop', { dataTransfer: dropped });
  const heard = await listen(page, 2000);
  expect(heard.peak > 0.01, `peak ${heard.peak} in 2 s`);
  const first = await page.evaluate(() => window.tunedump.state.timing.firstSound);
  expect(first !== undefined, 'no sound');
  console.log(`  first sound ${first.toFixed(0)} ms after the drop`);
  expect(first < 1000, `first sound after ${first} ms`);
  // A click on the ruler moves the song there.
  const box = await page.locator('#lanes').boundingBox();
  await page.mouse.click(box.x + box.width / 2, box.y + 5);
  await page.waitForTimeout(300);
  const [frame, frames] = await page.evaluate(() => [window.tunedump.state.frame, window.tunedump.state.sequences[0].frames]);
  expect(frame >= frames / 2 && frame < frames / 2 + 44100, `at frame ${frame} of ${frames} after seeking half way`);
});

test('clicking a lane solos its sample; where it rests, the output is silent', async (page) => {
  // A second and a half where one sample the song plays rests and others sound.
  const quiet = await page.evaluate(() => {
    const { notes, lanes, sequences } = window.tunedump.state;
    const rate = 44100;
    const played = new Set();
    for (let i = 0; i < notes.length; i += 6) played.add(notes[i + 3]);
    for (let frame = rate; frame + 2 * rate < sequences[0].frames; frame += rate / 2) {
      const busy = new Set();
      for (let i = 0; i < notes.length; i += 6) {
        if (notes[i] < frame + 1.75 * rate && notes[i + 1] > frame - 0.25 * rate) busy.add(notes[i + 3]);
      }
      const sample = lanes.find((n) => played.has(n) && !busy.has(n));
      if (busy.size > 0 && sample !== undefined) return { sample, frame, lane: lanes.indexOf(sample) };
    }
    return null;
  });
  expect(quiet !== null, 'no sample rests while others play');
  await page.locator('#seek').fill(String(quiet.frame));
  const lane = { position: { x: 40, y: 20 + quiet.lane * 22 + 11 } };
  await page.locator('#lanes').click(lane);
  const soloed = await page.locator(`#sample-list li[data-sample="${quiet.sample}"] .solo`).isChecked();
  expect(soloed, `sample ${quiet.sample} is not soloed`);
  await page.waitForTimeout(150);
  const alone = await listen(page, 800);
  await page.locator('#lanes').click(lane);
  await page.waitForTimeout(150);
  const all = await listen(page, 300);
  expect(alone.peak === 0, `sample ${quiet.sample} alone, resting: peak ${alone.peak}`);
  expect(all.peak > 0.01, `every sample again: peak ${all.peak}`);
});

// What a link that gave no download holds, and whether the page can still
// read its file: the browser or the page may be the one that failed.
async function linkState(link) {
  const state = await link.evaluate(async (a) => {
    let read;
    try {
      read = `${(await (await fetch(a.href)).blob()).size} bytes readable`;
    } catch (error) {
      read = `unreadable: ${error}`;
    }
    return `${a.download} (${a.href}): ${read}, ${a.isConnected ? 'in' : 'out of'} the page`;
  });
  return `the link was ${state}`;
}

// Downloads every file the page offers for the sequence and compares them
// with the native program's.
async function stemsMatch(page, module, sequence) {
  await page.locator('#sequence').selectOption(String(sequence));
  const started = Date.now();
  await page.locator('#render').click();
  await page.locator('#files a').first().waitFor({ timeout: 90000 });
  const rendered = Date.now() - started;
  const mine = path.join(artifacts, `stems-${path.basename(module, '.mod')}-${sequence}`);
  const theirs = `${mine}-native`;
  fs.rmSync(mine, { recursive: true, force: true });
  fs.rmSync(theirs, { recursive: true, force: true });
  fs.mkdirSync(mine, { recursive: true });
  for (const link of await page.locator('#files a').all()) {
    const [download] = await Promise.all([
      page.waitForEvent('download').catch(async (error) => {
        throw new Error(`${error.message.split('\n')[0]}; ${await linkState(link)}`);
      }),
      link.click(),
    ]);
    await download.saveAs(path.join(mine, download.suggestedFilename()));
    // Chromium drops a download that comes within a second after ten others
    // (about ten a second at most): a person clicking goes slower.
    await page.waitForTimeout(250);
  }
  const args = ['--song', String(sequence), '--stems', module, 'song', theirs];
  const run = spawnSync(native, args, { encoding: 'utf8' });
  expect(run.status === 0, `native --stems: ${run.stdout}${run.stderr}`);
  const names = fs.readdirSync(theirs).sort();
  const got = fs.readdirSync(mine).sort();
  expect(names.join() === got.join(), `files ${got} against ${names}`);
  for (const name of names) {
    expect(fs.readFileSync(path.join(mine, name)).equals(fs.readFileSync(path.join(theirs, name))), `${name} differs`);
  }
  console.log(`  ${path.basename(module)} sequence ${sequence}: ${names.length} files the same, rendered in ${rendered} ms`);
}

test('the stems downloaded are the bytes of --stems', async (page) => {
  await stemsMatch(page, modulePath, 0);
  // A later tune of a game module starts part way into the order list.
  if (!fs.existsSync(gamePath)) return;
  await page.locator('#file').setInputFiles(gamePath);
  await page.locator('#sequence option').nth(GAME_SEQUENCE).waitFor({ state: 'attached' });
  await stemsMatch(page, gamePath, GAME_SEQUENCE);
});

test("a file the loader refuses shows the loader's message and changes nothing", async (page) => {
  const bad = path.join(artifacts, 'not-a-module.mod');
  fs.writeFileSync(bad, Buffer.alloc(3000, 0x41));
  const run = spawnSync(native, ['--info', bad], { encoding: 'utf8' });
  const message = run.stderr.trim();
  const title = await page.locator('#title').textContent();
  await page.locator('#file').setInputFiles(bad);
  await page.locator('#error').waitFor({ state: 'visible' });
  const shown = await page.locator('#error').textContent();
  expect(shown === message, `shown "${shown}", the loader says "${message}"`);
  expect((await page.locator('#title').textContent()) === title, 'the title changed');
  expect((await page.locator('#files a').count()) > 0, 'the downloads went');
});

fs.mkdirSync(artifacts, { recursive: true });
const server = await serve(path.resolve(dist));
const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tunedump-chromium-'));
const browser = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  acceptDownloads: true,
  viewport: { width: 1200, height: 620 },
  args: [
    '--headless',
    '--no-sandbox',
    '--disable-gpu',
    '--disable-quic',
    '--no-first-run',
    '--disable-background-networking',
    '--disable-component-update',
    '--disable-sync',
    '--autoplay-policy=no-user-gesture-required',
  ],
});
let failed = 0;
try {
  const page = await browser.newPage();
  const problems = [];
  page.on('pageerror', (error) => problems.push(String(error)));
  page.on('console', (m) => m.type() === 'error' && problems.push(m.text()));
  await page.goto(`http://127.0.0.1:${server.address().port}/index.html?rate=${RATE}`);
  // Each case goes on from where the one before left the page.
  for (const { name, run } of cases) {
    const started = Date.now();
    try {
      await run(page);
      console.log(`ok    ${name} (${Date.now() - started} ms)`);
    } catch (error) {
      failed++;
      console.log(`FAIL  ${name}: ${error.message}`);
    }
  }
  if (problems.length > 0) {
    failed++;
    console.log(`FAIL  the page reported errors:\n  ${problems.join('\n  ')}`);
  }
} finally {
  await browser.close();
  server.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
console.log(`page tests: ${cases.length - failed} passed, ${failed} failed`);
process.exit(failed > 0 ? 1 : 0);
