// The image's place on the page: the stage (the panel labels and the image
// canvas) scaled and moved inside the viewport. "Fit" scales it to the space
// there is, up or down, and keeps doing so as the window changes; "1:1"
// shows one image pixel per screen pixel. The camera is the stage's: a drag
// orbits it and the wheel moves it nearer or farther (the `camera` hooks);
// Shift+drag pans the image and Ctrl+wheel (or a pinch) zooms it about the
// pointer, after which the image stays where it was put.

const MIN_SCALE = 0.05;
const MAX_SCALE = 32;
const MARGIN = 8;

export class Viewport {
  // `camera`: { orbit(dx, dy, done) in screen pixels, dolly(factor) }.
  constructor(viewport, stage, canvas, readout, camera = null) {
    this.camera = camera;
    this.viewport = viewport;
    this.stage = stage;
    this.canvas = canvas;
    this.readout = readout;
    this.mode = 'fit';
    this.scale = 1;
    this.x = 0;
    this.y = 0;
    new ResizeObserver(() => this.layout()).observe(viewport);
    viewport.addEventListener('wheel', (e) => this.onWheel(e), { passive: false });
    viewport.addEventListener('pointerdown', (e) => this.onDown(e));
    viewport.addEventListener('dblclick', () => this.fit());
  }

  // The stage's size at scale 1.
  size() {
    return { w: this.stage.offsetWidth, h: this.stage.offsetHeight };
  }

  fit() {
    this.mode = 'fit';
    this.layout();
  }

  actualSize() {
    this.mode = 'free';
    this.scale = 1;
    this.centre();
    this.apply();
  }

  // The image changed size: a fitted one is fitted again, a free one kept
  // centred where it was.
  contentChanged() {
    this.layout();
  }

  layout() {
    if (this.mode === 'fit') {
      const { w, h } = this.size();
      const vw = this.viewport.clientWidth - 2 * MARGIN;
      const vh = this.viewport.clientHeight - 2 * MARGIN;
      if (w > 0 && h > 0 && vw > 0 && vh > 0) this.scale = Math.min(vw / w, vh / h);
      this.centre();
    }
    this.apply();
  }

  centre() {
    const { w, h } = this.size();
    this.x = (this.viewport.clientWidth - w * this.scale) / 2;
    this.y = (this.viewport.clientHeight - h * this.scale) / 2;
  }

  apply() {
    this.stage.style.transform = `translate(${this.x}px, ${this.y}px) scale(${this.scale})`;
    // Enlarged far, pixels show as pixels; otherwise the browser smooths.
    this.canvas.classList.toggle('pixelated', this.scale >= 2);
    this.readout.textContent = `${Math.round(this.scale * 100)}%`;
    this.viewport.dataset.scale = String(this.scale);
    this.viewport.dataset.mode = this.mode;
  }

  onWheel(e) {
    e.preventDefault();
    if (this.camera && !e.ctrlKey) {
      this.camera.dolly(Math.exp(e.deltaY * (e.deltaMode === 1 ? 0.05 : 0.0015)));
      return;
    }
    const r = this.viewport.getBoundingClientRect();
    const px = e.clientX - r.left, py = e.clientY - r.top;
    const factor = Math.exp(-e.deltaY * (e.deltaMode === 1 ? 0.05 : 0.0015));
    const scale = Math.min(MAX_SCALE, Math.max(MIN_SCALE, this.scale * factor));
    // The image point under the pointer stays under it.
    this.x = px - (px - this.x) * (scale / this.scale);
    this.y = py - (py - this.y) * (scale / this.scale);
    this.scale = scale;
    this.mode = 'free';
    this.apply();
  }

  onDown(e) {
    if (e.button !== 0) return;
    if (this.camera && !e.shiftKey) { this.onOrbit(e); return; }
    const start = { x: e.clientX, y: e.clientY, ox: this.x, oy: this.y };
    this.viewport.setPointerCapture(e.pointerId);
    this.viewport.classList.add('dragging');
    const move = (m) => {
      this.x = start.ox + m.clientX - start.x;
      this.y = start.oy + m.clientY - start.y;
      if (this.mode === 'fit' && Math.hypot(m.clientX - start.x, m.clientY - start.y) > 2) this.mode = 'free';
      this.apply();
    };
    const up = () => {
      this.viewport.removeEventListener('pointermove', move);
      this.viewport.removeEventListener('pointerup', up);
      this.viewport.removeEventListener('pointercancel', up);
      this.viewport.classList.remove('dragging');
    };
    this.viewport.addEventListener('pointermove', move);
    this.viewport.addEventListener('pointerup', up);
    this.viewport.addEventListener('pointercancel', up);
  }

  onOrbit(e) {
    let last = { x: e.clientX, y: e.clientY };
    this.viewport.setPointerCapture(e.pointerId);
    this.viewport.classList.add('orbiting');
    const move = (m) => {
      this.camera.orbit(m.clientX - last.x, m.clientY - last.y, false);
      last = { x: m.clientX, y: m.clientY };
    };
    const up = () => {
      this.viewport.removeEventListener('pointermove', move);
      this.viewport.removeEventListener('pointerup', up);
      this.viewport.removeEventListener('pointercancel', up);
      this.viewport.classList.remove('orbiting');
      this.camera.orbit(0, 0, true);
    };
    this.viewport.addEventListener('pointermove', move);
    this.viewport.addEventListener('pointerup', up);
    this.viewport.addEventListener('pointercancel', up);
  }
}
