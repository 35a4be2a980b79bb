// The page: opens a module, shows what it holds and its notes over time,
// plays it through the audio worklet and hands out its stems.
import createTunedump from './tunedump.js';
import { drawLanes, drawPlayhead, hit, NOTE_FIELDS } from './lanes.js';

const IMAGE_SIZE = 2000000; // the command line reads no more of a file
const FILE_RATE = 44100; // the rate of sequence lengths, notes and files
const ROW = 22; // lane height, as --row in style.css
const RULER = 20;

const lib = createTunedump();
const $ = (id) => document.getElementById(id);

const state = {
  image: null, // the module's bytes as read
  sequences: [],
  sequence: 0,
  lanes: [], // sample numbers, one lane each
  used: 0, // bit n: the sequence names sample n
  notes: new Int32Array(0),
  mute: new Set(),
  solo: new Set(),
  frame: 0, // playhead, at FILE_RATE
  reportedAt: 0, // audio time of the worklet's last report
  playing: false,
  seekTo: null,
  stems: null, // the worker while it renders
  urls: [],
  timing: {},
};

// Audio: one worklet node for the page's lifetime, its context at the
// rate asked for in the address (?rate=48000) or the device's.
const asked = Number(new URLSearchParams(location.search).get('rate'));
const audio = new AudioContext(asked > 0 ? { sampleRate: asked, latencyHint: 'interactive' } : { latencyHint: 'interactive' });
const analyser = audio.createAnalyser();
analyser.fftSize = 2048;
const player = audio.audioWorklet.addModule('player-worklet.js').then(() => {
  const node = new AudioWorkletNode(audio, 'tunedump', {
    numberOfInputs: 0,
    numberOfOutputs: 1,
    outputChannelCount: [2],
  });
  node.connect(analyser);
  analyser.connect(audio.destination);
  node.port.onmessage = (e) => fromPlayer(e.data);
  playerNode = node;
  return node;
});
let playerNode = null;

// Straight away once the worklet is up: a new module starts to sound while
// the page is still drawing it.
function tell(message, transfer) {
  if (playerNode) playerNode.port.postMessage(message, transfer || []);
  else player.then((node) => node.port.postMessage(message, transfer || []));
}

function fromPlayer(m) {
  if (m.type === 'position') {
    if (state.seekTo === null) state.frame = m.frame;
    state.reportedAt = m.time;
    if (state.playing !== m.playing) {
      state.playing = m.playing;
      showTransport();
    }
  } else if (m.type === 'sound' && state.timing.opened !== undefined && state.timing.firstSound === undefined) {
    // When that quantum leaves the device, on the page's clock: the page
    // itself may have been busy drawing when the message came.
    const stamp = audio.getOutputTimestamp();
    const leaves = stamp.performanceTime + (m.time - stamp.contextTime) * 1000;
    state.timing.firstSound = leaves - state.timing.opened;
  }
}

// Names and numbers ----------------------------------------------------

const text = (pointer) => lib.UTF8ToString(pointer);

function clock(frames) {
  const s = Math.floor(frames / FILE_RATE);
  return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
}

function audible(n) {
  return state.solo.size > 0 ? state.solo.has(n) : !state.mute.has(n);
}

function audibleMask() {
  let mask = 1;
  for (let n = 1; n < 32; n++) if (audible(n)) mask |= 1 << n;
  return mask >>> 0;
}

function sequence() {
  return state.sequences[state.sequence];
}

function layout() {
  return {
    lanes: state.lanes,
    frames: sequence().frames,
    rate: FILE_RATE,
    row: ROW,
    ruler: RULER,
    audible,
  };
}

// Opening ---------------------------------------------------------------

function showError(message) {
  $('error').textContent = message;
  $('error').hidden = !message;
}

async function openFile(file) {
  const opened = performance.now();
  const bytes = new Uint8Array(await file.slice(0, IMAGE_SIZE).arrayBuffer());
  lib.HEAPU8.set(bytes, lib._td_web_input());
  if (!lib._td_web_open(bytes.length)) {
    // A refused file changes nothing but the message.
    showError(text(lib._td_web_error()) || 'This file cannot be read as a module.');
    return;
  }
  showError('');
  stopStems();
  state.image = bytes;
  state.timing = { opened };
  state.sequences = [];
  for (let i = 0; i < lib._td_web_sequences(); i++) {
    state.sequences.push({
      position: lib._td_web_sequence_position(i),
      frames: lib._td_web_sequence_frames(i),
      samples: lib._td_web_sequence_samples(i) >>> 0,
    });
  }
  state.sequence = 0;
  state.frame = 0;
  state.mute.clear();
  state.solo.clear();
  // Sound first, the picture after.
  audio.resume();
  const image = bytes.slice().buffer;
  tell({ type: 'audible', mask: audibleMask() });
  tell({ type: 'load', image, position: sequence().position, frames: sequence().frames, play: true }, [image]);
  state.playing = true;
  showModule(file.name);
  state.timing.shown = performance.now() - opened;
}

function showModule(fileName) {
  $('title').textContent = text(lib._td_web_title()) || fileName;
  $('channels').textContent = `${lib._td_web_channels()} channels · ${fileName}`;
  const select = $('sequence');
  select.replaceChildren(
    ...state.sequences.map((s, i) => new Option(`${i}: position ${s.position}, ${clock(s.frames)}`, String(i))),
  );
  state.lanes = [];
  for (let n = 1; n < 32; n++) if (lib._td_web_sample_bytes(n) > 0) state.lanes.push(n);
  $('song').hidden = false;
  showSamples();
  showSequence();
}

function showSamples() {
  const list = $('sample-list');
  list.replaceChildren(
    ...state.lanes.map((n) => {
      const item = document.createElement('li');
      item.dataset.sample = String(n);
      const number = document.createElement('span');
      number.textContent = String(n).padStart(2, '0');
      const name = document.createElement('span');
      name.className = 'name';
      name.textContent = text(lib._td_web_sample_name(n)) || '—';
      name.title = `${lib._td_web_sample_bytes(n)} bytes`;
      const mute = document.createElement('input');
      mute.type = 'checkbox';
      mute.className = 'mute';
      mute.title = `mute sample ${n}`;
      const solo = document.createElement('input');
      solo.type = 'checkbox';
      solo.className = 'solo';
      solo.title = `solo sample ${n}`;
      mute.addEventListener('change', () => toggle(state.mute, n, mute.checked));
      solo.addEventListener('change', () => toggle(state.solo, n, solo.checked));
      item.append(number, name, mute, solo);
      return item;
    }),
  );
}

function showSequence() {
  const s = sequence();
  state.used = s.samples;
  for (const item of $('sample-list').children) {
    item.classList.toggle('unused', !((s.samples >>> Number(item.dataset.sample)) & 1));
  }
  $('seek').max = String(s.frames);
  const count = lib._td_web_notes(state.sequence);
  const at = lib._td_web_note_table() >> 2;
  state.notes = lib.HEAP32.slice(at, at + count * NOTE_FIELDS);
  $('files').replaceChildren();
  showTransport();
  showMix();
  drawPicture();
}

// Mute and solo ---------------------------------------------------------

function toggle(set, n, on) {
  if (on) set.add(n);
  else set.delete(n);
  tell({ type: 'audible', mask: audibleMask() });
  showMix();
}

function soloAlone(n) {
  const alone = state.solo.size === 1 && state.solo.has(n);
  state.solo.clear();
  if (!alone) state.solo.add(n);
  tell({ type: 'audible', mask: audibleMask() });
  showMix();
}

function showMix() {
  for (const item of $('sample-list').children) {
    const n = Number(item.dataset.sample);
    item.querySelector('.mute').checked = state.mute.has(n);
    item.querySelector('.solo').checked = state.solo.has(n);
    item.classList.toggle('silent', !audible(n));
  }
  drawPicture();
}

// Transport and picture ---------------------------------------------------

function sounding() {
  return state.playing && audio.state === 'running';
}

function showTransport() {
  $('play').disabled = !state.image;
  $('play').textContent = sounding() ? 'Pause' : 'Play';
  if (state.image) $('time').textContent = `${clock(state.frame)} / ${clock(sequence().frames)}`;
}

function seek(frame) {
  state.frame = frame;
  tell({ type: 'seek', frame });
  showTransport();
}

function drawPicture() {
  if (state.image) drawLanes($('lanes'), layout(), state.notes);
}

function playheadFrame() {
  let frame = state.frame;
  if (state.playing && state.seekTo === null && audio.state === 'running') {
    frame += Math.max(0, audio.currentTime - state.reportedAt) * FILE_RATE;
  }
  return Math.min(frame, sequence().frames);
}

function animate() {
  if (state.image) {
    const frame = playheadFrame();
    drawPlayhead($('playhead'), layout(), frame);
    if (state.seekTo === null) $('seek').value = String(Math.round(frame));
    $('time').textContent = `${clock(frame)} / ${clock(sequence().frames)}`;
  }
  requestAnimationFrame(animate);
}

// Stems -------------------------------------------------------------------

function stopStems() {
  if (state.stems) state.stems.terminate();
  state.stems = null;
  for (const url of state.urls) URL.revokeObjectURL(url);
  state.urls = [];
  $('files').replaceChildren();
  $('progress').hidden = true;
  $('render').disabled = false;
}

function renderStems() {
  stopStems();
  const worker = new Worker('stems-worker.js', { type: 'module' });
  state.stems = worker;
  $('render').disabled = true;
  const progress = $('progress');
  progress.hidden = false;
  progress.value = 0;
  const started = performance.now();
  const image = state.image.slice().buffer;
  worker.onmessage = (e) => {
    const m = e.data;
    if (m.type === 'progress') {
      progress.max = m.frames;
      progress.value = m.done;
    } else if (m.type === 'done') {
      state.timing.stems = performance.now() - started;
      worker.terminate();
      state.stems = null;
      progress.hidden = true;
      $('render').disabled = false;
      showFiles(m.files);
    } else if (m.type === 'error') {
      stopStems();
      showError(m.message);
    }
  };
  worker.postMessage({ image, sequence: state.sequence }, [image]);
}

function showFiles(files) {
  $('files').replaceChildren(
    ...files.map(({ name, blob }) => {
      const url = URL.createObjectURL(blob);
      state.urls.push(url);
      const item = document.createElement('li');
      const link = document.createElement('a');
      link.href = url;
      link.download = name;
      link.textContent = name;
      const size = document.createElement('span');
      size.className = 'size';
      size.textContent = `${(blob.size / 1048576).toFixed(1)} MB`;
      item.append(link, size);
      return item;
    }),
  );
}

// Wiring ------------------------------------------------------------------

$('file').addEventListener('change', (e) => {
  if (e.target.files.length > 0) openFile(e.target.files[0]);
  e.target.value = '';
});

let dragDepth = 0;
document.addEventListener('dragenter', (e) => {
  e.preventDefault();
  dragDepth++;
  $('drop').hidden = false;
});
document.addEventListener('dragleave', () => {
  if (--dragDepth <= 0) $('drop').hidden = true;
});
document.addEventListener('dragover', (e) => e.preventDefault());
document.addEventListener('drop', (e) => {
  e.preventDefault();
  dragDepth = 0;
  $('drop').hidden = true;
  if (e.dataTransfer.files.length > 0) openFile(e.dataTransfer.files[0]);
});

$('sequence').addEventListener('change', (e) => {
  stopStems();
  state.sequence = Number(e.target.value);
  state.frame = 0;
  const s = sequence();
  tell({ type: 'sequence', position: s.position, frames: s.frames, play: state.playing });
  showSequence();
});

$('play').addEventListener('click', () => {
  if (sounding()) {
    tell({ type: 'pause' });
    state.playing = false;
  } else {
    audio.resume();
    tell({ type: 'play' });
    state.playing = true;
  }
  showTransport();
});
// A module dropped before any click on the page waits for one to sound.
audio.addEventListener('statechange', showTransport);

$('seek').addEventListener('input', (e) => {
  // A drag sends one seek per frame at most.
  if (state.seekTo === null) {
    requestAnimationFrame(() => {
      seek(state.seekTo);
      state.seekTo = null;
    });
  }
  state.seekTo = Number(e.target.value);
  $('time').textContent = `${clock(state.seekTo)} / ${clock(sequence().frames)}`;
});

$('lanes').addEventListener('click', (e) => {
  const box = e.target.getBoundingClientRect();
  const at = hit(e.target, layout(), e.clientX - box.left, e.clientY - box.top);
  if (at.sample !== undefined) soloAlone(at.sample);
  else seek(at.frame);
});

$('render').addEventListener('click', renderStems);

new ResizeObserver(drawPicture).observe($('picture'));
requestAnimationFrame(animate);

// For tests and the curious: the analyser on the output and the timings.
window.tunedump = { audio, analyser, state };
