// Drawing the measured lobe: a heat map of the hemisphere per host (seen
// from above the surface: the centre is the normal, the rim the horizon,
// the first tangent U points right and the second, V, up), a colour bar for
// them, and a polar plot across the plane of incidence with both hosts'
// curves.

const STOPS = [
  [0, 0, 4], [40, 11, 84], [101, 21, 110], [159, 42, 99],
  [212, 72, 66], [245, 125, 21], [250, 193, 39], [252, 255, 164],
];
const DECADES = 3;
const MUTED = '#9aa0a6';
const GRID = '#50545a';

// The colour of t in [0, 1] on the scale the heat maps and the false-colour
// difference share.
export function heat(t) {
  t = Math.min(1, Math.max(0, t)) * (STOPS.length - 1);
  const i = Math.min(STOPS.length - 2, Math.floor(t));
  const f = t - i;
  return STOPS[i].map((a, k) => Math.round(a + (STOPS[i + 1][k] - a) * f));
}

// Values over several decades: shown on a log scale from peak / 1000.
function scaleOf(lobe) {
  let peak = 0;
  for (const host of ['maya', 'mentalray']) {
    if (!lobe[host]) continue;
    for (const v of lobe[host].map) peak = Math.max(peak, v);
    for (const v of lobe[host].plane) peak = Math.max(peak, v);
  }
  return peak > 0 ? peak : 1;
}

// The map's value at (theta, phi) in degrees, interpolated between the
// measured directions (bilinear; the azimuth wraps around, the elevation is
// held at its first and last rows).
function sample(data, na, ne, theta, phi) {
  const fe = Math.min(ne - 1, Math.max(0, theta / 2 - 0.5));
  const j0 = Math.floor(fe), j1 = Math.min(ne - 1, j0 + 1), te = fe - j0;
  let fa = phi / 4 - 0.5;
  if (fa < 0) fa += na;
  const i0 = Math.floor(fa) % na, i1 = (i0 + 1) % na, ta = fa - Math.floor(fa);
  const at = (j, i) => data[j * na + i];
  const row0 = at(j0, i0) * (1 - ta) + at(j0, i1) * ta;
  const row1 = at(j1, i0) * (1 - ta) + at(j1, i1) * ta;
  return row0 * (1 - te) + row1 * te;
}

export function drawHeatMap(canvas, lobe, host) {
  const ctx = canvas.getContext('2d');
  const { width, height } = canvas;
  ctx.clearRect(0, 0, width, height);
  const data = lobe[host];
  ctx.font = '11px system-ui, sans-serif';
  if (!data) {
    ctx.fillStyle = MUTED;
    ctx.fillText('no host', 10, 20);
    return;
  }
  const peak = scaleOf(lobe);
  const cx = width / 2, cy = height / 2, radius = Math.min(cx, cy) - 18;
  const image = ctx.getImageData(0, 0, width, height);
  const na = lobe.azimuthSteps, ne = lobe.elevationSteps;
  for (let y = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x) {
      const dx = (x + 0.5 - cx) / radius, dy = (cy - y - 0.5) / radius;
      const r = Math.hypot(dx, dy);
      if (r >= 1) continue;
      let phi = Math.atan2(dy, dx) * 180 / Math.PI;
      if (phi < 0) phi += 360;
      const v = sample(data.map, na, ne, r * 90, phi);
      const t = v > 0 ? 1 + Math.log10(v / peak) / DECADES : 0;
      const [cr, cg, cb] = heat(t);
      const o = 4 * (y * width + x);
      image.data[o] = cr; image.data[o + 1] = cg; image.data[o + 2] = cb; image.data[o + 3] = 255;
    }
  }
  ctx.putImageData(image, 0, 0);
  // Rings every 30 degrees from the normal, and the tangent directions.
  ctx.strokeStyle = GRID;
  ctx.lineWidth = 1;
  for (const deg of [30, 60, 90]) {
    ctx.beginPath();
    ctx.arc(cx, cy, radius * deg / 90, 0, 2 * Math.PI);
    ctx.stroke();
  }
  ctx.fillStyle = MUTED;
  ctx.textAlign = 'left';
  ctx.fillText('30°', cx + 2, cy - radius / 3 + 11);
  ctx.fillText('60°', cx + 2, cy - 2 * radius / 3 + 11);
  const arrow = (ux, uy, name) => {
    const x1 = cx + ux * (radius + 4), y1 = cy - uy * (radius + 4);
    ctx.strokeStyle = '#e4e4e4';
    ctx.beginPath();
    ctx.moveTo(cx, cy);
    ctx.lineTo(x1, y1);
    ctx.stroke();
    ctx.beginPath();
    ctx.moveTo(x1, y1);
    ctx.lineTo(x1 - ux * 6 - uy * 4, y1 + uy * 6 - ux * 4);
    ctx.lineTo(x1 - ux * 6 + uy * 4, y1 + uy * 6 + ux * 4);
    ctx.closePath();
    ctx.fillStyle = '#e4e4e4';
    ctx.fill();
    ctx.fillText(name, x1 + ux * 4 - (uy ? 4 : 0), y1 - uy * 4 + (ux ? 4 : 0));
  };
  arrow(1, 0, 'U');
  arrow(0, 1, 'V');
}

// The heat maps' scale: the peak at the top, a decade per step down.
export function drawColourBar(canvas, lobe) {
  const ctx = canvas.getContext('2d');
  const { width, height } = canvas;
  ctx.clearRect(0, 0, width, height);
  const top = 18, bottom = height - 18, barWidth = 14;
  for (let y = top; y < bottom; ++y) {
    const [r, g, b] = heat(1 - (y - top) / (bottom - top));
    ctx.fillStyle = `rgb(${r},${g},${b})`;
    ctx.fillRect(4, y, barWidth, 1);
  }
  ctx.fillStyle = MUTED;
  ctx.font = '11px system-ui, sans-serif';
  ctx.textAlign = 'left';
  const peak = scaleOf(lobe);
  for (let d = 0; d <= DECADES; ++d) {
    const y = top + (bottom - top) * d / DECADES;
    ctx.fillRect(4 + barWidth, y, 4, 1);
    ctx.fillText((peak / Math.pow(10, d)).toPrecision(2), 4 + barWidth + 6, y + 4);
  }
}

export function drawPlane(canvas, lobe, viewTheta) {
  const ctx = canvas.getContext('2d');
  const { width, height } = canvas;
  ctx.clearRect(0, 0, width, height);
  const cx = width / 2, cy = height - 14, radius = Math.min(cx, cy) - 6;
  ctx.strokeStyle = GRID;
  ctx.lineWidth = 1;
  for (const f of [0.25, 0.5, 0.75, 1]) {
    ctx.beginPath();
    ctx.arc(cx, cy, radius * f, Math.PI, 2 * Math.PI);
    ctx.stroke();
  }
  ctx.beginPath();
  ctx.moveTo(cx - radius, cy); ctx.lineTo(cx + radius, cy);
  ctx.moveTo(cx, cy); ctx.lineTo(cx, cy - radius);
  ctx.stroke();
  // The viewer, on the left; its mirror direction, on the right.
  const vt = viewTheta * Math.PI / 180;
  ctx.strokeStyle = MUTED;
  ctx.setLineDash([4, 3]);
  ctx.beginPath();
  ctx.moveTo(cx, cy);
  ctx.lineTo(cx - Math.sin(vt) * radius, cy - Math.cos(vt) * radius);
  ctx.stroke();
  ctx.setLineDash([]);
  ctx.fillStyle = MUTED;
  ctx.fillText('view', cx - Math.sin(vt) * radius - 10, cy - Math.cos(vt) * radius - 4);

  const peak = Math.max(...['maya', 'mentalray'].flatMap((h) => (lobe[h] ? lobe[h].plane : [0])));
  // Maya wide and half transparent underneath, mental ray narrow and dashed
  // on top: where the curves coincide both stay visible, the dashes showing
  // Maya's colour between them.
  const styles = {
    maya: { colour: 'rgba(232, 163, 61, 0.75)', width: 5, dash: [] },
    mentalray: { colour: '#5aa9e6', width: 1.75, dash: [6, 4] },
  };
  for (const host of ['maya', 'mentalray']) {
    if (!lobe[host]) continue;
    ctx.strokeStyle = styles[host].colour;
    ctx.lineWidth = styles[host].width;
    ctx.setLineDash(styles[host].dash);
    ctx.beginPath();
    lobe[host].plane.forEach((v, k) => {
      const a = (k - 90) * Math.PI / 180;
      const r = peak > 0 ? (v / peak) * radius : 0;
      const x = cx + Math.sin(a) * r, y = cy - Math.cos(a) * r;
      if (k === 0) ctx.moveTo(x, y); else ctx.lineTo(x, y);
    });
    ctx.stroke();
  }
  ctx.setLineDash([]);
  return peak;
}

export function peakOf(lobe) {
  return scaleOf(lobe);
}
