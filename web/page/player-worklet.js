// Plays the module on the audio thread: the player is instantiated here
// (compiled synchronously, the wasm inside the script), and every 128-frame
// quantum is pulled through the stems pump with the page's mute and solo
// mask, so a change is heard in the next quantum.
import createTunedump from './tunedump.js';

const FILE_RATE = 44100;
const REPORT_EVERY = 8; // quanta between position reports (about 20 ms)

class TunedumpProcessor extends AudioWorkletProcessor {
  constructor() {
    super();
    this.lib = createTunedump();
    this.loaded = false;
    this.playing = false;
    this.audible = 0xffffffff;
    this.position = 0; // order position the sequence starts at
    this.frame = 0; // frames played into the sequence, at sampleRate
    this.end = 0;
    this.quanta = 0;
    this.listening = false; // for the first sound after a load
    this.port.onmessage = (e) => this.command(e.data);
  }

  command(m) {
    if (m.type === 'load') {
      const bytes = new Uint8Array(m.image);
      this.lib.HEAPU8.set(bytes, this.lib._td_web_input());
      this.lib._td_web_take(bytes.length);
      this.loaded = true;
      this.listening = true;
      this.sequence(m);
    } else if (m.type === 'sequence') {
      this.sequence(m);
    } else if (m.type === 'seek') {
      this.seek(m.frame);
    } else if (m.type === 'play') {
      if (this.frame >= this.end) this.seek(0);
      this.playing = this.loaded;
    } else if (m.type === 'pause') {
      this.playing = false;
    } else if (m.type === 'audible') {
      this.audible = m.mask >>> 0;
    }
    this.report();
  }

  sequence(m) {
    this.position = m.position;
    this.end = Math.round((m.frames * sampleRate) / FILE_RATE);
    this.seek(m.start || 0);
    this.playing = m.play;
  }

  // frame is at 44100 frames a second, as the page counts.
  seek(frame) {
    this.frame = Math.min(Math.round((frame * sampleRate) / FILE_RATE), this.end);
    this.lib._td_web_play(sampleRate, this.position, this.frame);
  }

  report() {
    this.port.postMessage({
      type: 'position',
      frame: Math.round((this.frame * FILE_RATE) / sampleRate),
      playing: this.playing,
      time: currentTime,
    });
  }

  process(inputs, outputs) {
    const out = outputs[0];
    if (!this.playing) return true;
    const n = out[0].length;
    const lib = this.lib;
    lib._td_web_pull(n, this.audible);
    const left = lib.HEAPF32.subarray(lib._td_web_left() >> 2, (lib._td_web_left() >> 2) + n);
    const right = lib.HEAPF32.subarray(lib._td_web_right() >> 2, (lib._td_web_right() >> 2) + n);
    out[0].set(left);
    if (out.length > 1) out[1].set(right);
    this.frame += n;
    if (this.listening && (left.some((v) => v !== 0) || right.some((v) => v !== 0))) {
      this.listening = false;
      this.port.postMessage({ type: 'sound', time: currentTime });
    }
    if (this.frame >= this.end) {
      this.playing = false;
      this.port.postMessage({ type: 'ended' });
      this.report();
    } else if (++this.quanta % REPORT_EVERY === 0) {
      this.report();
    }
    return true;
  }
}

registerProcessor('tunedump', TunedumpProcessor);
