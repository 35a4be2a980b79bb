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
const RATE = 48000; // headless chromium would run at 44100
const env = (name) => {
  if (!process.env[name]) throw new Error(`${name} is not set (run make test-web)`);
  return process.env[name];
};
const dist = env('TUNEDUMP_WEB_DIST');
const native = env('TUNEDUMP_BINARY');
const artifacts = env('TUNEDUMP_ARTIFACTS');
const modulePath = path.join(env('TUNEDUMP_CORPUS_DIR'), MODULE);

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
});

test('clicking a lane solos its sample and the output changes', async (page) => {
  // The sample heard least of those the song plays: alone it is far quieter.
  const sample = await page.evaluate(() => {
    const { notes, lanes } = window.tunedump.state;
    const heard = new Map();
    for (let i = 0; i < notes.length; i += 6) heard.set(notes[i + 3], (heard.get(notes[i + 3]) || 0) + notes[i + 1] - notes[i]);
    return [...heard].filter(([n]) => lanes.includes(n)).sort((a, b) => a[1] - b[1])[0][0];
  });
  const before = await listen(page, 800);
  const lane = await page.evaluate((sample) => window.tunedump.state.lanes.indexOf(sample), sample);
  await page.locator('#lanes').click({ position: { x: 40, y: 20 + lane * 22 + 11 } });
  const soloed = await page.locator(`#sample-list li[data-sample="${sample}"] .solo`).isChecked();
  expect(soloed, `sample ${sample} is not soloed`);
  const after = await listen(page, 800);
  expect(Math.abs(after.rms - before.rms) > 0.2 * before.rms, `rms ${before.rms} before, ${after.rms} with sample ${sample} alone`);
});

test('the stems downloaded are the bytes of --stems', async (page) => {
  const started = Date.now();
  await page.locator('#render').click();
  await page.locator('#files a').first().waitFor({ timeout: 90000 });
  console.log(`  stems rendered in ${Date.now() - started} ms`);
  const mine = path.join(artifacts, 'stems');
  const theirs = path.join(artifacts, 'stems-native');
  fs.rmSync(mine, { recursive: true, force: true });
  fs.rmSync(theirs, { recursive: true, force: true });
  fs.mkdirSync(mine, { recursive: true });
  for (const link of await page.locator('#files a').all()) {
    const [download] = await Promise.all([page.waitForEvent('download'), link.click()]);
    await download.saveAs(path.join(mine, download.suggestedFilename()));
  }
  const run = spawnSync(native, ['--stems', modulePath, 'song', theirs], { encoding: 'utf8' });
  expect(run.status === 0, `native --stems: ${run.stdout}${run.stderr}`);
  const names = fs.readdirSync(theirs).sort();
  const got = fs.readdirSync(mine).sort();
  expect(names.join() === got.join(), `files ${got} against ${names}`);
  for (const name of names) {
    expect(fs.readFileSync(path.join(mine, name)).equals(fs.readFileSync(path.join(theirs, name))), `${name} differs`);
  }
  console.log(`  ${names.length} files the same`);
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
