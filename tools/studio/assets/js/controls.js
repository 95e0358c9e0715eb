// The material controls, built from the studio's description of every
// input of both hosts. Each control keeps its value as the text the server
// takes (the preview's --set syntax); the server decides what is valid.
// A typed value is checked before it is used: a refused one stays in its
// field, marked with the server's reason, while the input keeps its last
// valid value (the one the image, the address and the files use). Any
// number of fields can be marked at once.
//
// Every widget of an input is labelled with the input's name and carries its
// one-line description (the material guide's) as a tooltip; a button beside
// each control puts its default back.

const DIGITS = 4;

function round(v) {
  return Number.parseFloat(v.toPrecision(DIGITS)).toString();
}

// sRGB <-> linear, so that the picker shows the colour as the image shows it.
function toLinear(c) {
  return c <= 0.04045 ? c / 12.92 : Math.pow((c + 0.055) / 1.055, 2.4);
}
function toSrgb(v) {
  v = Math.min(1, Math.max(0, v));
  return v <= 0.0031308 ? v * 12.92 : 1.055 * Math.pow(v, 1 / 2.4) - 0.055;
}
function hexToValue(hex) {
  const parts = [1, 3, 5].map((i) => toLinear(parseInt(hex.substr(i, 2), 16) / 255));
  return parts.map(round).join(',');
}
function valueToHex(text) {
  const parts = text.split(',').map(Number);
  const rgb = parts.length === 1 ? [parts[0], parts[0], parts[0]] : parts;
  if (rgb.length !== 3 || rgb.some((x) => !Number.isFinite(x))) return null;
  return '#' + rgb.map((x) => Math.round(toSrgb(x) * 255).toString(16).padStart(2, '0')).join('');
}

// A whole number over a wide range (reflectSamples: 1 to 200) moves in
// ratios too, so that its small values each get a good stretch of the
// slider.
function geometric(input) {
  return input.kind === 'int' && input.softMin >= 1 && input.softMax / input.softMin >= 50;
}

// Slider position (0..1000) <-> value; logarithmic sliders move in ratios
// and still reach 0: v = (hi + 1)^t - 1.
function sliderToValue(input, pos) {
  const t = pos / 1000;
  if (input.log) return Math.pow(input.softMax + 1, t) - 1;
  if (geometric(input)) return input.softMin * Math.pow(input.softMax / input.softMin, t);
  return input.softMin + t * (input.softMax - input.softMin);
}
function valueToSlider(input, v) {
  if (!Number.isFinite(v)) return 0;
  let t;
  if (input.log) t = Math.log(Math.max(v, 0) + 1) / Math.log(input.softMax + 1);
  else if (geometric(input)) t = Math.log(Math.max(v, input.softMin) / input.softMin) / Math.log(input.softMax / input.softMin);
  else t = (v - input.softMin) / (input.softMax - input.softMin || 1);
  return Math.round(Math.min(1, Math.max(0, t)) * 1000);
}

export class Controls {
  // `check(name, text)` resolves to the server's reason for refusing the
  // value, or '' when it is valid. `onProblems()` is called whenever the set
  // of marked fields changes.
  constructor(root, inputs, { onChange, check, onProblems }) {
    this.inputs = inputs;
    this.onChange = onChange;
    this.check = check;
    this.onProblems = onProblems;
    this.values = {};
    this.widgets = {};
    this.problems = new Map();  // name -> the refused text's reason
    this.pending = {};  // name -> number of the latest check, so a late answer is dropped
    const groups = [
      ['Both hosts', (i) => i.maya && i.mentalray],
      ['Maya only', (i) => i.maya && !i.mentalray],
      ['mental ray only', (i) => !i.maya && i.mentalray],
    ];
    for (const [title, test] of groups) {
      const members = inputs.filter(test);
      if (!members.length) continue;
      const head = document.createElement('div');
      head.className = 'group';
      head.textContent = title;
      root.appendChild(head);
      for (const input of members) root.appendChild(this.build(input));
    }
  }

  build(input) {
    const box = document.createElement('div');
    box.className = 'control';
    box.dataset.input = input.name;
    if (input.kind === 'color' || input.kind === 'vector') box.classList.add('wide');
    const label = document.createElement('label');
    label.textContent = input.name;
    const hosts = input.maya && input.mentalray ? 'both hosts' : input.maya ? 'Maya only' : 'mental ray only';
    const tip = input.description || `${input.name}: ${input.kind}`;
    label.title = `${tip} (${hosts}, default ${input.default})`;
    label.htmlFor = 'text-' + input.name;
    // Every widget of the input: its name as label, its description as tooltip.
    const describe = (el) => {
      el.setAttribute('aria-label', input.name);
      el.title = tip;
    };
    const inputs = document.createElement('div');
    inputs.className = 'inputs';
    const error = document.createElement('div');
    error.className = 'error';
    error.setAttribute('role', 'alert');
    error.id = 'error-' + input.name;
    const w = { box, error };
    this.values[input.name] = input.default;

    // Sliders, pickers and the check box only make valid values.
    const commit = (text, from) => {
      this.pending[input.name] = (this.pending[input.name] || 0) + 1;
      this.values[input.name] = text;
      this.mark(input.name, '');
      this.sync(input, from);
      this.onChange(input.name);
    };
    const commitTyped = async (text, from) => {
      const ticket = (this.pending[input.name] || 0) + 1;
      this.pending[input.name] = ticket;
      let reason;
      try {
        reason = await this.check(input.name, text);
      } catch (e) {
        reason = `cannot check the value (${e.message || e})`;
      }
      if (this.pending[input.name] !== ticket) return;
      if (reason) {
        this.mark(input.name, reason);
        return;
      }
      this.values[input.name] = text;
      this.mark(input.name, '');
      this.sync(input, from);
      this.onChange(input.name);
    };

    if (input.kind === 'bool') {
      const check = document.createElement('input');
      check.type = 'checkbox';
      check.id = 'text-' + input.name;
      describe(check);
      check.addEventListener('change', () => commit(check.checked ? '1' : '0', check));
      inputs.appendChild(check);
      w.check = check;
    } else {
      if (input.kind === 'color') {
        const picker = document.createElement('input');
        picker.type = 'color';
        describe(picker);
        picker.addEventListener('input', () => commit(hexToValue(picker.value), picker));
        inputs.appendChild(picker);
        w.picker = picker;
      } else if (input.kind === 'float' || input.kind === 'int') {
        const slider = document.createElement('input');
        slider.type = 'range';
        slider.min = 0;
        slider.max = 1000;
        describe(slider);
        if (input.log) slider.classList.add('log');
        slider.addEventListener('input', () => {
          let v = sliderToValue(input, Number(slider.value));
          commit(input.kind === 'int' ? String(Math.round(v)) : round(v), slider);
        });
        inputs.appendChild(slider);
        w.slider = slider;
      }
      const text = document.createElement('input');
      text.type = 'text';
      text.id = 'text-' + input.name;
      text.spellcheck = false;
      describe(text);
      text.setAttribute('aria-describedby', 'error-' + input.name);
      text.addEventListener('change', () => commitTyped(text.value.trim(), text));
      inputs.appendChild(text);
      w.text = text;
    }
    const reset = document.createElement('button');
    reset.type = 'button';
    reset.className = 'reset';
    reset.textContent = '↺';
    reset.title = `Back to the default, ${input.default}`;
    reset.setAttribute('aria-label', `Reset ${input.name} to its default`);
    reset.addEventListener('click', () => {
      if (w.text) w.text.value = input.default;
      commit(input.default, null);
    });
    inputs.appendChild(reset);
    w.reset = reset;
    this.widgets[input.name] = w;
    box.append(label, inputs, error);
    this.sync(input, null);
    return box;
  }

  // Shows the value in every widget of the input but the one it came from.
  sync(input, from) {
    const w = this.widgets[input.name];
    if (!w) return;
    const text = this.values[input.name];
    if (w.reset) w.reset.disabled = text === input.default;
    if (w.check && w.check !== from) w.check.checked = text === '1' || text === 'true' || text === 'on';
    if (w.text && w.text !== from) w.text.value = text;
    if (w.slider && w.slider !== from) w.slider.value = valueToSlider(input, Number(text));
    if (w.picker && w.picker !== from) {
      const hex = valueToHex(text);
      if (hex) w.picker.value = hex;
    }
  }

  input(name) {
    return this.inputs.find((i) => i.name === name);
  }

  // Sets a value known to be valid (a preset's, an imported material's, a
  // checked link's) and clears any mark on the input.
  set(name, text) {
    const input = this.input(name);
    if (!input) return false;
    this.pending[name] = (this.pending[name] || 0) + 1;
    this.values[name] = text;
    this.mark(name, '');
    this.sync(input, null);
    return true;
  }

  reset() {
    for (const input of this.inputs) this.set(input.name, input.default);
  }

  // Marks input `name` as refused with `message` ('' clears the mark). The
  // input's field keeps the refused text so that it can be corrected.
  mark(name, message) {
    const w = this.widgets[name];
    if (!w) return;
    const had = this.problems.has(name);
    if (message) this.problems.set(name, message);
    else this.problems.delete(name);
    w.error.textContent = message;
    w.box.classList.toggle('invalid', message !== '');
    if (w.text) w.text.setAttribute('aria-invalid', message ? 'true' : 'false');
    if (had !== this.problems.has(name) || message) this.onProblems();
  }

  // Sets every input from `pairs` (others to their defaults): a look from
  // the history or the snapshot, all of whose values were valid.
  setAll(pairs) {
    this.reset();
    for (const [k, v] of pairs) this.set(k, v);
  }

  // Query pairs for the inputs that differ from their defaults.
  changed() {
    return this.inputs
      .filter((i) => this.values[i.name] !== i.default)
      .map((i) => [i.name, this.values[i.name]]);
  }
}
