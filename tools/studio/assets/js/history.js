// Undo and redo of material changes. A look is the material's inputs that
// differ from their defaults and the preset menu's choice, as `look()` gives
// it; `apply(look)` puts one back. A slider dragged (changes of one input in
// quick succession) makes one step, not one per movement.
const MAX_STEPS = 200;
const MERGE_MS = 1000;

export class History {
  constructor({ look, apply, changed, undoButton, redoButton }) {
    Object.assign(this, { look, apply, changed, undoButton, redoButton });
    this.past = [];
    this.future = [];
    this.now = '';
    this.lastKey = '';
    this.lastTime = 0;
    undoButton.addEventListener('click', () => this.undo());
    redoButton.addEventListener('click', () => this.redo());
    document.addEventListener('keydown', (e) => this.onKey(e));
  }

  // The look as it is now is where history starts.
  start() {
    this.now = this.look();
    this.update();
  }

  // Called after every material change.
  record(key = '') {
    const look = this.look();
    if (look === this.now) return;
    const t = performance.now();
    const merge = key !== '' && key === this.lastKey && t - this.lastTime < MERGE_MS;
    if (!merge) this.past.push(this.now);
    if (this.past.length > MAX_STEPS) this.past.shift();
    this.now = look;
    this.future = [];
    this.lastKey = key;
    this.lastTime = t;
    this.update();
  }

  step(from, to) {
    if (!from.length) return;
    to.push(this.now);
    this.now = from.pop();
    this.lastKey = '';
    this.apply(this.now);
    this.update();
    this.changed();
  }

  undo() { this.step(this.past, this.future); }
  redo() { this.step(this.future, this.past); }

  update() {
    this.undoButton.disabled = this.past.length === 0;
    this.redoButton.disabled = this.future.length === 0;
    this.undoButton.dataset.steps = String(this.past.length);
  }

  // Ctrl+Z / Ctrl+Shift+Z (and Ctrl+Y), unless a text field has the focus:
  // there they undo the typing, as everywhere.
  onKey(e) {
    if (!(e.ctrlKey || e.metaKey) || e.altKey) return;
    const k = e.key.toLowerCase();
    if (k !== 'z' && k !== 'y') return;
    const t = e.target;
    const typing = t && (t.tagName === 'TEXTAREA' || t.isContentEditable ||
      (t.tagName === 'INPUT' && !['range', 'checkbox', 'color', 'button', 'file'].includes(t.type)));
    if (typing) return;
    e.preventDefault();
    if (k === 'y' || e.shiftKey) this.redo(); else this.undo();
  }
}
