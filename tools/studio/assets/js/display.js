// What the image area shows beside the image: the difference view's false
// colours, their scale and figures; and the files the studio makes, handed
// to the browser as downloads.
import { heat } from './lobe.js';

function linearOf(code) {
  const c = code / 255;
  return c <= 0.04045 ? c / 12.92 : Math.pow((c + 0.055) / 1.055, 2.4);
}
const LINEAR = Array.from({ length: 256 }, (_, i) => linearOf(i));

// The difference's largest channel (already times the gain, 1 at the top of
// the scale) on the heat scale.
export function toFalseColour(image) {
  const out = new ImageData(image.width, image.height);
  for (let i = 0; i < image.data.length; i += 4) {
    const v = Math.max(LINEAR[image.data[i]], LINEAR[image.data[i + 1]], LINEAR[image.data[i + 2]]);
    const [r, g, b] = heat(v);
    out.data[i] = r; out.data[i + 1] = g; out.data[i + 2] = b; out.data[i + 3] = 255;
  }
  return out;
}

// The scale of the false colours, 0 to 1 / `gain` in linear values.
export function drawDiffScale(c, gain) {
  const ctx = c.getContext('2d');
  ctx.clearRect(0, 0, c.width, c.height);
  for (let x = 8; x < c.width - 8; ++x) {
    const [r, g, b] = heat((x - 8) / (c.width - 16));
    ctx.fillStyle = `rgb(${r},${g},${b})`;
    ctx.fillRect(x, 4, 1, 12);
  }
  ctx.fillStyle = '#e4e4e4';
  ctx.font = '11px system-ui, sans-serif';
  ctx.textAlign = 'left';
  ctx.fillText('0', 8, 29);
  ctx.textAlign = 'right';
  ctx.fillText(`${Number((1 / Number(gain)).toPrecision(3))} (linear)`, c.width - 8, 29);
}

// The measured difference beside the noise sampling alone would leave.
export function showFigures(f, headers, isDiff) {
  const rmse = headers.get('X-Diff-Rmse');
  if (rmse === null || !isDiff) {
    f.textContent = '';
    delete f.dataset.rmse;
    return;
  }
  const max = headers.get('X-Diff-Max');
  const noise = headers.get('X-Diff-Noise');
  f.dataset.rmse = rmse;
  f.dataset.max = max;
  f.dataset.noise = noise;
  const fmt = (v) => Number(Number(v).toPrecision(2)).toString();
  f.textContent = `RMSE ${fmt(rmse)} · max ${fmt(max)} · ` +
    (Number(noise) > 0 ? `noise alone ≈ ${fmt(noise)}` : 'noise: after the second pass');
  f.title = 'Maya minus mental ray in linear values over every pixel and channel; the expected ' +
    'level is what the sampling noise alone would give, estimated from the passes';
}

// Fetches a file the studio makes and hands it to the browser as a download
// under the server's name for it; a refusal is shown in `note`, not lost.
export async function download(url, note) {
  note.textContent = '';
  let res;
  try {
    res = await fetch(url);
  } catch (e) {
    note.textContent = 'the studio cannot be reached';
    return;
  }
  if (!res.ok) {
    const e = await res.json().catch(() => ({ error: res.statusText }));
    note.textContent = e.error;
    return;
  }
  const blob = await res.blob();
  // Inputs the file's format has no place for are named, never dropped in silence.
  const notWritten = res.headers.get('X-Glintweave-Not-Written');
  if (notWritten) note.textContent = `Written as comments only: ${notWritten}`;
  const name = /filename="([^"]*)"/.exec(res.headers.get('Content-Disposition') || '');
  const a = document.createElement('a');
  a.href = URL.createObjectURL(blob);
  a.download = name ? name[1] : '';
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 60_000);
}

