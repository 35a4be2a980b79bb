// The picture: a ruler of seconds, then one lane per sample over the
// sequence's time with a mark for each note (higher notes higher in the
// lane, louder ones brighter), and the playhead on a canvas of its own.

export const NOTE_FIELDS = 6; // start, end, channel, sample, period, volume
const CHANNEL_COLOURS = ['#f0b43c', '#5ec8e5', '#e56b8c', '#8bd46a', '#b38cf0', '#f08a4b', '#4be0b0', '#d9d96a'];

function cssSize(canvas) {
  const box = canvas.getBoundingClientRect();
  return { width: Math.max(1, Math.round(box.width)), height: Math.max(1, Math.round(box.height)) };
}

function scaled(canvas) {
  const { width, height } = cssSize(canvas);
  const ratio = window.devicePixelRatio || 1;
  canvas.width = Math.round(width * ratio);
  canvas.height = Math.round(height * ratio);
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  return { g, width, height };
}

function rulerStep(seconds, width) {
  for (const step of [1, 2, 5, 10, 15, 30, 60, 120, 300]) if ((step / seconds) * width >= 48) return step;
  return 600;
}

function clock(seconds) {
  const s = Math.floor(seconds);
  return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
}

// Lowest and highest period of each sample's notes, for placing marks.
function periodRanges(notes) {
  const ranges = new Map();
  for (let i = 0; i < notes.length; i += NOTE_FIELDS) {
    const sample = notes[i + 3];
    const period = notes[i + 4];
    if (period <= 0) continue;
    const r = ranges.get(sample) || { low: period, high: period };
    r.low = Math.min(r.low, period);
    r.high = Math.max(r.high, period);
    ranges.set(sample, r);
  }
  return ranges;
}

// layout: { lanes: [sample numbers], rate, frames, row, ruler, audible(n), used(n) }
export function drawLanes(canvas, layout, notes) {
  const { g, width, height } = scaled(canvas);
  const { lanes, frames, rate, row, ruler } = layout;
  g.clearRect(0, 0, width, height);
  const seconds = Math.max(frames / rate, 1e-3);
  const x = (frame) => (frame / frames) * width;

  g.font = '11px system-ui, sans-serif';
  g.textBaseline = 'middle';
  const step = rulerStep(seconds, width);
  for (let t = 0; t <= seconds; t += step) {
    const at = Math.round((t / seconds) * width) + 0.5;
    g.fillStyle = '#3a3f4a';
    g.fillRect(at, ruler - 6, 1, height - ruler + 6);
    const label = clock(t);
    if (at + 3 + g.measureText(label).width > width) break;
    g.fillStyle = '#8b909a';
    g.fillText(label, at + 3, ruler / 2);
  }

  const laneOf = new Map(lanes.map((n, i) => [n, i]));
  lanes.forEach((n, i) => {
    g.fillStyle = i % 2 ? 'rgba(255,255,255,0.025)' : 'rgba(255,255,255,0.055)';
    g.fillRect(0, ruler + i * row, width, row);
  });

  const ranges = periodRanges(notes);
  for (let i = 0; i < notes.length; i += NOTE_FIELDS) {
    const lane = laneOf.get(notes[i + 3]);
    if (lane === undefined) continue;
    const sample = notes[i + 3];
    const period = notes[i + 4];
    const r = ranges.get(sample);
    // Higher notes (shorter periods) sit higher in the lane.
    let place = 0.5;
    if (r && period > 0 && r.high > r.low) place = Math.log(period / r.low) / Math.log(r.high / r.low);
    const top = ruler + lane * row + 3 + place * (row - 9);
    const left = x(notes[i]);
    const w = Math.max(1.5, x(notes[i + 1]) - left);
    g.globalAlpha = (0.35 + (0.65 * Math.min(notes[i + 5], 64)) / 64) * (layout.audible(sample) ? 1 : 0.3);
    g.fillStyle = CHANNEL_COLOURS[notes[i + 2] % CHANNEL_COLOURS.length];
    g.fillRect(left, top, w, 3);
  }
  g.globalAlpha = 1;
}

export function drawPlayhead(canvas, layout, frame) {
  const { g, width, height } = scaled(canvas);
  g.clearRect(0, 0, width, height);
  const at = Math.round((Math.min(frame, layout.frames) / Math.max(layout.frames, 1)) * width) + 0.5;
  g.fillStyle = '#ffffff';
  g.fillRect(at - 0.5, 0, 1.5, height);
  g.fillStyle = '#f0b43c';
  g.beginPath();
  g.moveTo(at - 5, 0);
  g.lineTo(at + 5, 0);
  g.lineTo(at, 7);
  g.fill();
}

// What a click at (x, y) in CSS pixels of the canvas points at: the ruler
// (with the frame under it) or a lane (with its sample).
export function hit(canvas, layout, x, y) {
  const { width } = cssSize(canvas);
  const frame = Math.round((Math.max(0, Math.min(x, width)) / width) * layout.frames);
  if (y < layout.ruler) return { frame };
  const lane = Math.floor((y - layout.ruler) / layout.row);
  return { frame, sample: layout.lanes[lane] };
}
