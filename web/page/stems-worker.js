// Renders the files of `tunedump --stems MODULE song OUTDIR` (with --song
// for another sequence) off the page's thread: mix.wav and one WAV file per
// sample the sequence uses, the same bytes as the command line writes.
import createTunedump from './tunedump.js';

const BLOCKS_PER_STEP = 32; // 1024-frame blocks between progress reports
const STEPS_PER_BLOB = 64; // the browser may keep a blob out of the worker's memory
const SLOTS = 32;

function render(image, sequence) {
  const lib = createTunedump();
  const bytes = new Uint8Array(image);
  lib.HEAPU8.set(bytes, lib._td_web_input());
  if (!lib._td_web_open(bytes.length)) throw new Error(lib.UTF8ToString(lib._td_web_error()));
  const frames = lib._td_web_stems_start(sequence);
  const chunks = Array.from({ length: SLOTS }, () => []);
  const blobs = new Array(SLOTS).fill(null);
  const first = new Array(SLOTS).fill(-1); // the frame a file's data starts at
  let files = 0;
  let done = 0;
  while (done < frames) {
    files = lib._td_web_stems_render(BLOCKS_PER_STEP);
    const now = lib._td_web_stems_done();
    for (let k = 0; k < SLOTS; k++) {
      if (!((files >>> k) & 1)) continue;
      if (first[k] < 0) first[k] = done;
      const at = lib._td_web_stems_chunk(k) >> 1;
      chunks[k].push(lib.HEAP16.slice(at, at + (now - done)));
    }
    done = now;
    if (chunks[0].length === STEPS_PER_BLOB || done >= frames) {
      for (let k = 0; k < SLOTS; k++) {
        if (first[k] < 0) continue;
        blobs[k] = new Blob(blobs[k] ? [blobs[k], ...chunks[k]] : chunks[k]);
        chunks[k] = [];
      }
    }
    postMessage({ type: 'progress', done, frames });
  }
  const headerAt = lib._td_web_wav_header(frames);
  const header = lib.HEAPU8.slice(headerAt, headerAt + 44);
  const out = [];
  for (let k = 0; k < SLOTS; k++) {
    if (!((files >>> k) & 1)) continue;
    // Until its first use a sample's stem is silent.
    const silence = new Uint8Array(2 * first[k]);
    const parts = [header, silence, blobs[k]];
    out.push({ name: lib.UTF8ToString(lib._td_web_stem_file(k)), blob: new Blob(parts, { type: 'audio/wav' }) });
  }
  return out;
}

onmessage = (e) => {
  try {
    postMessage({ type: 'done', files: render(e.data.image, e.data.sequence) });
  } catch (error) {
    postMessage({ type: 'error', message: String(error.message || error) });
  }
};
