// Drawing the measured lobe: a heat map of the hemisphere per host (seen
// from above the surface: the centre is the normal, the rim the horizon,
// the first tangent points right) and a polar plot across the plane of
// incidence with both hosts' curves.

const STOPS = [
  [0, 0, 4], [40, 11, 84], [101, 21, 110], [159, 42, 99],
  [212, 72, 66], [245, 125, 21], [250, 193, 39], [252, 255, 164],
];

function heat(t) {
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

export function drawHeatMap(canvas, lobe, host) {
  const ctx = canvas.getContext('2d');
  const { width, height } = canvas;
  ctx.clearRect(0, 0, width, height);
  const data = lobe[host];
  if (!data) {
    ctx.fillStyle = '#9aa0a6';
    ctx.fillText('no host', 10, 20);
    return;
  }
  const peak = scaleOf(lobe);
  const image = ctx.createImageData(width, height);
  const cx = width / 2, cy = height / 2, radius = Math.min(cx, cy) - 2;
  const na = lobe.azimuthSteps, ne = lobe.elevationSteps;
  for (let y = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x) {
      const dx = (x + 0.5 - cx) / radius, dy = (cy - y - 0.5) / radius;
      const r = Math.hypot(dx, dy);
      if (r >= 1) continue;
      const theta = r * 90;  // degrees from the normal
      let phi = Math.atan2(dy, dx) * 180 / Math.PI;
      if (phi < 0) phi += 360;
      const j = Math.min(ne - 1, Math.floor(theta / 2));
      const i = Math.min(na - 1, Math.floor(phi / 4));
      const v = data.map[j * na + i];
      const t = v > 0 ? 1 + Math.log10(v / peak) / 3 : 0;
      const [cr, cg, cb] = heat(t);
      const o = 4 * (y * width + x);
      image.data[o] = cr; image.data[o + 1] = cg; image.data[o + 2] = cb; image.data[o + 3] = 255;
    }
  }
  ctx.putImageData(image, 0, 0);
}

export function drawPlane(canvas, lobe, viewTheta) {
  const ctx = canvas.getContext('2d');
  const { width, height } = canvas;
  ctx.clearRect(0, 0, width, height);
  const cx = width / 2, cy = height - 14, radius = Math.min(cx, cy) - 6;
  ctx.strokeStyle = '#50545a';
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
  ctx.strokeStyle = '#9aa0a6';
  ctx.setLineDash([4, 3]);
  ctx.beginPath();
  ctx.moveTo(cx, cy);
  ctx.lineTo(cx - Math.sin(vt) * radius, cy - Math.cos(vt) * radius);
  ctx.stroke();
  ctx.setLineDash([]);
  ctx.fillStyle = '#9aa0a6';
  ctx.fillText('view', cx - Math.sin(vt) * radius - 10, cy - Math.cos(vt) * radius - 4);

  const peak = Math.max(...['maya', 'mentalray'].flatMap((h) => (lobe[h] ? lobe[h].plane : [0])));
  // Maya wide underneath, mental ray narrow on top: where they agree both
  // stay visible.
  const colours = { maya: '#e8a33d', mentalray: '#5aa9e6' };
  const widths = { maya: 4, mentalray: 1.5 };
  for (const host of ['maya', 'mentalray']) {
    if (!lobe[host]) continue;
    ctx.strokeStyle = colours[host];
    ctx.lineWidth = widths[host];
    ctx.beginPath();
    lobe[host].plane.forEach((v, k) => {
      const a = (k - 90) * Math.PI / 180;
      const r = peak > 0 ? (v / peak) * radius : 0;
      const x = cx + Math.sin(a) * r, y = cy - Math.cos(a) * r;
      if (k === 0) ctx.moveTo(x, y); else ctx.lineTo(x, y);
    });
    ctx.stroke();
  }
  return peak;
}

export function peakOf(lobe) {
  return scaleOf(lobe);
}
