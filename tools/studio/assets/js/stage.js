// The stage the material is seen on: the shape (a built-in one or a model
// uploaded from this page), the environment (the softbox studio, the studio
// map, or an uploaded .exr / .hdr) with its rotation and intensity, the
// camera (dragging the image orbits it, the wheel moves it nearer or
// farther), and the look (exposure, then the sRGB curve or a view of the
// studio's OpenColorIO config). All of it lives in the page's address like
// the material; an upload is there by the id the studio gave it, and stays
// usable as long as the studio holds it in memory.
//
// The turntable preview renders small frames of a full turn one after the
// other, then plays them as a loop.

export const STAGE_DEFAULTS = {
  shape: 'spheres', env: 'softbox', envRotate: '0', envIntensity: '1',
  azimuth: '0', elevation: '0', distance: '0', exposure: '0', viewTransform: '',
};
export const STAGE_KEYS = Object.keys(STAGE_DEFAULTS);

const $ = (id) => document.getElementById(id);
const DEGREES_PER_PIXEL = 0.4;
const TURNTABLE = { frames: 24, width: 128, height: 96, spp: 4, fps: 12 };

const round = (v, digits = 3) => Number.parseFloat(Number(v).toPrecision(digits)).toString();

export class Stage {
  // `view`: the page's settings, which hold the stage's keys too.
  // `hooks`: { changed(opts), query(extra): URLSearchParams, clientId }.
  constructor(info, view, hooks) {
    this.info = info.stage;
    this.limits = info.limits;
    this.view = view;
    this.hooks = hooks;
    this.turn = null;  // the turntable preview in progress: { gen, frames, timer }
    this.orbitPending = false;
    this.fill();
    this.wire();
    this.sync();
  }

  fill() {
    const shape = $('shape');
    for (const s of this.info.shapes) shape.append(new Option(s, s));
    const env = $('env');
    for (const e of this.info.environments) env.append(new Option(e, e));
    const vt = $('view-transform');
    vt.append(new Option('sRGB', ''));
    for (const t of this.info.transforms) vt.append(new Option(t, t));
    vt.disabled = this.info.transforms.length === 0;
    vt.title = vt.disabled ? 'Start the studio with --ocio FILE (or the OCIO variable) for a config\'s views'
      : `Views of ${this.info.ocioConfig}`;
    const mb = Math.round(this.info.maxUpload / (1 << 20));
    $('upload-model-label').title = `Upload a model (${this.info.meshFormats}; up to ${mb} MiB), kept in the studio's memory`;
    $('upload-env-label').title = `Upload a latitude-longitude .exr or .hdr (up to ${mb} MiB), kept in the studio's memory`;
  }

  wire() {
    const set = (key, value) => this.set(key, value);
    $('shape').addEventListener('change', () => set('shape', $('shape').value));
    $('env').addEventListener('change', () => set('env', $('env').value));
    $('env-rotate').addEventListener('input', () => set('envRotate', $('env-rotate').value));
    $('env-intensity').addEventListener('input',
      () => set('envIntensity', round(Math.pow(10, Number($('env-intensity').value)))));
    $('exposure').addEventListener('input', () => set('exposure', $('exposure').value));
    $('view-transform').addEventListener('change', () => set('viewTransform', $('view-transform').value));
    $('camera-reset').addEventListener('click', () => {
      Object.assign(this.view, { azimuth: '0', elevation: '0', distance: '0' });
      this.changedStage();
    });
    $('turntable').addEventListener('click', () => (this.turn ? this.stopTurntable() : this.startTurntable()));
    for (const kind of ['model', 'env']) {
      const input = $('upload-' + kind);
      input.addEventListener('change', () => {
        const file = input.files[0];
        input.value = '';
        if (file) this.upload(kind === 'model' ? 'model' : 'environment', file);
      });
    }
  }

  // The controls as the settings are (after a link, an undo, a reset).
  sync() {
    const v = this.view;
    for (const [id, key] of [['shape', 'shape'], ['env', 'env']]) {
      const select = $(id);
      if (![...select.options].some((o) => o.value === v[key])) {
        select.append(new Option(`uploaded (${v[key].slice(7, 13)})`, v[key]));
      }
      select.value = v[key];
    }
    $('env-rotate').value = v.envRotate;
    $('env-intensity').value = String(Math.log10(Math.max(0.01, Number(v.envIntensity))));
    $('exposure').value = v.exposure;
    $('exposure-value').textContent = `${Number(v.exposure) > 0 ? '+' : ''}${round(v.exposure)} EV`;
    $('env-rotate-value').textContent = `${round(v.envRotate)}°`;
    $('env-intensity-value').textContent = `×${round(v.envIntensity)}`;
    $('view-transform').value = v.viewTransform;
    // A map turns and scales; the softbox studio's lights are placed.
    const map = v.env !== 'softbox';
    $('env-rotate').disabled = !map;
    $('env-intensity').disabled = !map;
    $('viewport').dataset.camera = `${v.azimuth} ${v.elevation} ${v.distance}`;
  }

  set(key, value) {
    this.view[key] = String(value);
    this.changedStage({ lobe: false });
  }

  changedStage(opts = { lobe: false }) {
    $('stage-error').textContent = '';
    this.sync();
    this.stopTurntable();
    this.hooks.changed(opts);
  }

  // A drag of (dx, dy) screen pixels: right turns the object to the right
  // (the camera goes the other way), down looks from higher up. Frames are
  // asked for at most once per screen refresh while dragging.
  orbit(dx, dy, done) {
    const v = this.view;
    v.azimuth = round((((Number(v.azimuth) - dx * DEGREES_PER_PIXEL) % 360) + 540) % 360 - 180, 4);
    const limit = this.limits.maxElevation;
    v.elevation = round(Math.max(-limit, Math.min(limit, Number(v.elevation) + dy * DEGREES_PER_PIXEL)), 4);
    if (done || this.orbitPending) return;
    this.orbitPending = true;
    requestAnimationFrame(() => {
      this.orbitPending = false;
      this.changedStage();
    });
  }

  // The wheel: `factor` above 1 moves the camera away.
  dolly(factor) {
    const { minDistance, maxDistance } = this.limits;
    const now = Number(this.view.distance) || this.info.cameraDistance;
    this.view.distance = round(Math.max(minDistance, Math.min(maxDistance, now * factor)), 4);
    this.changedStage();
  }

  // The page's message for a refused stage parameter; false for another one.
  showError(field, message) {
    if (!STAGE_KEYS.includes(field) && field !== 'file') return false;
    $('stage-error').textContent = message;
    return true;
  }

  async upload(kind, file) {
    const note = $('stage-error');
    if (file.size > this.info.maxUpload) {
      note.textContent = `${file.name}: larger than the studio's upload bound of ${Math.round(this.info.maxUpload / (1 << 20))} MiB`;
      return;
    }
    note.textContent = `reading ${file.name}…`;
    let res;
    try {
      res = await fetch('/api/upload?' + new URLSearchParams({ kind, file: file.name }),
        { method: 'POST', body: file, headers: { 'Content-Type': 'application/octet-stream' } });
    } catch (e) {
      note.textContent = 'the studio cannot be reached';
      return;
    }
    const body = await res.json().catch(() => ({ error: res.statusText }));
    if (!res.ok) {
      note.textContent = body.error;
      return;
    }
    const select = $(kind === 'model' ? 'shape' : 'env');
    select.append(new Option(`${file.name} (uploaded)`, body.id));
    this.set(kind === 'model' ? 'shape' : 'env', body.id);
    note.textContent = kind === 'model' ? `${file.name}: ${body.triangles} triangles`
      : `${file.name}: ${body.width}×${body.height}`;
  }

  // ---- the turntable preview ------------------------------------------------

  stopTurntable() {
    if (!this.turn) return;
    clearInterval(this.turn.timer);
    if (this.turn.abort) this.turn.abort.abort();
    this.turn = null;
    $('turntable').textContent = 'Turntable';
    $('turntable').setAttribute('aria-pressed', 'false');
    $('turntable-view').hidden = true;
  }

  async startTurntable() {
    const turn = { frames: [], timer: 0, abort: new AbortController() };
    this.turn = turn;
    $('turntable').textContent = 'Stop turntable';
    $('turntable').setAttribute('aria-pressed', 'true');
    const canvas = $('turntable-view');
    canvas.hidden = false;
    canvas.dataset.frames = '0';
    delete canvas.dataset.playing;
    for (let k = 1; k <= TURNTABLE.frames && this.turn === turn; ++k) {
      const image = await this.turntableFrame(k, turn);
      if (!image || this.turn !== turn) return;
      turn.frames.push(image);
      this.show(image);
      canvas.dataset.frames = String(turn.frames.length);
    }
    let shown = 0;
    turn.timer = setInterval(() => {
      shown = (shown + 1) % turn.frames.length;
      this.show(turn.frames[shown]);
      canvas.dataset.shown = String(shown + 1);
    }, 1000 / TURNTABLE.fps);
    canvas.dataset.playing = 'true';
  }

  show(image) {
    const canvas = $('turntable-view');
    if (canvas.width !== image.width || canvas.height !== image.height) {
      canvas.width = image.width;
      canvas.height = image.height;
    }
    canvas.getContext('2d').putImageData(image, 0, 0);
  }

  // Frame k, refined to the preview's few samples; null when stopped or refused.
  async turntableFrame(k, turn) {
    const q = this.hooks.query([['client', this.hooks.clientId + '-turn'],
      ['turntable', String(TURNTABLE.frames)], ['frame', String(k)]]);
    q.set('w', String(TURNTABLE.width));
    q.set('h', String(TURNTABLE.height));
    q.set('spp', String(TURNTABLE.spp));
    if (q.get('view') === 'diff') q.set('view', 'side');
    for (let tries = 0; tries < 64 && this.turn === turn; ++tries) {
      let res;
      try {
        res = await fetch('/api/frame?' + q, { signal: turn.abort.signal });
      } catch (e) {
        return null;
      }
      if (res.status === 503) { await new Promise((r) => setTimeout(r, 300)); continue; }
      if (!res.ok) {
        const e = await res.json().catch(() => ({ error: res.statusText }));
        $('stage-error').textContent = `turntable: ${e.error}`;
        this.stopTurntable();
        return null;
      }
      const w = Number(res.headers.get('X-Frame-Width'));
      const h = Number(res.headers.get('X-Frame-Height'));
      const pixels = new Uint8ClampedArray(await res.arrayBuffer());
      if (Number(res.headers.get('X-Frame-Samples')) >= TURNTABLE.spp && pixels.length === w * h * 4) {
        return new ImageData(pixels, w, h);
      }
    }
    return null;
  }
}
