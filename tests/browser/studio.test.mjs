// The studio page in a real browser: Debian's Chromium driven by
// playwright-core (which downloads nothing: the system browser is its
// executable). Starts its own glintweave-studio on a free port with the
// scene on which the two hosts agree.
//
//   GLINTWEAVE_STUDIO     the studio executable (required)
//   GLINTWEAVE_CHROMIUM   the browser (default /usr/bin/chromium)
//   GLINTWEAVE_SCREENSHOT where to save a screenshot of the page (optional)
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { chromium } from 'playwright-core';

const studioExe = process.env.GLINTWEAVE_STUDIO;
const browserExe = process.env.GLINTWEAVE_CHROMIUM || '/usr/bin/chromium';
const timeout = 60_000;

let studio;
let baseUrl;
let context;
let page;
let profile;

function startStudio() {
  return new Promise((resolve, reject) => {
    const child = spawn(studioExe, ['--port', '0', '--scene', 'agreement'],
      { stdio: ['ignore', 'pipe', 'inherit'] });
    child.on('error', reject);
    child.on('exit', (code) => reject(new Error(`glintweave-studio exited with ${code}`)));
    const lines = createInterface({ input: child.stdout });
    lines.once('line', (line) => {
      const m = /^glintweave-studio: (http:\/\/127\.0\.0\.1:\d+\/)$/.exec(line);
      if (!m) reject(new Error(`unexpected first line: ${line}`));
      resolve({ child, url: m[1] });
    });
  });
}

before(async () => {
  assert.ok(studioExe, 'GLINTWEAVE_STUDIO must name the studio executable');
  ({ child: studio, url: baseUrl } = await startStudio());
  profile = mkdtempSync(join(tmpdir(), 'glintweave-chromium-'));
  // A fresh profile, and no background traffic: on a closed network
  // Chromium's own connections would only be refused.
  context = await chromium.launchPersistentContext(profile, {
    executablePath: browserExe,
    headless: true,
    acceptDownloads: true,
    viewport: { width: 1180, height: 660 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  page = context.pages()[0] || (await context.newPage());
  page.setDefaultTimeout(timeout);
});

after(async () => {
  if (context) await context.close();
  if (studio) {
    studio.removeAllListeners('exit');
    studio.kill('SIGTERM');
  }
  if (profile) rmSync(profile, { recursive: true, force: true });
});

// The canvas's pixels once the page has drawn a frame with at least
// `samples` samples per pixel.
async function imageAfter(samples) {
  await page.waitForFunction((n) => Number(document.getElementById('image').dataset.samples || 0) >= n,
    samples);
  return page.evaluate(() => {
    const c = document.getElementById('image');
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    return { width: c.width, height: c.height, data: Array.from(d) };
  });
}

// Mean and largest of the pixels' channel means, as 8-bit codes, and the
// mean in linear values (the page shows sRGB, which lifts small values).
function stats(image) {
  const linear = (code) => {
    const c = code / 255;
    return c <= 0.04045 ? c / 12.92 : Math.pow((c + 0.055) / 1.055, 2.4);
  };
  let sum = 0;
  let sumLinear = 0;
  let max = 0;
  const n = image.width * image.height;
  for (let i = 0; i < image.data.length; i += 4) {
    const v = (image.data[i] + image.data[i + 1] + image.data[i + 2]) / 3;
    sum += v;
    sumLinear += (linear(image.data[i]) + linear(image.data[i + 1]) + linear(image.data[i + 2])) / 3;
    max = Math.max(max, v);
  }
  return { mean: sum / n, max, linear: sumLinear / n };
}

async function setSlider(name, position) {
  await page.locator(`.control[data-input="${name}"] input[type=range]`).evaluate((el, pos) => {
    el.value = String(pos);
    el.dispatchEvent(new Event('input', { bubbles: true }));
  }, position);
}

async function typeValue(name, text) {
  const field = page.locator(`#text-${name}`);
  await field.fill(text);
  await field.dispatchEvent('change');
}

test('the page loads and the image appears', async () => {
  await page.goto(baseUrl + '?w=240&h=180&spp=8');
  const image = await imageAfter(1);
  assert.equal(image.width, 480, 'both hosts side by side');
  const { mean, max } = stats(image);
  assert.ok(max > 100 && mean > 10, `the image is not blank (mean ${mean}, max ${max})`);
  if (process.env.GLINTWEAVE_SCREENSHOT) {
    await imageAfter(8);
    await page.waitForFunction(() => Number(document.getElementById('lobe').dataset.measured || 0) > 0);
    await page.screenshot({ path: process.env.GLINTWEAVE_SCREENSHOT });
  }
});

test('moving a slider changes the image and the URL', async () => {
  await page.goto(baseUrl + '?w=160&h=120&spp=1&reflectivity=0');
  const before = await imageAfter(1);
  const url = page.url();
  await page.evaluate(() => { document.getElementById('image').dataset.samples = '0'; });
  await setSlider('specularU', 300);
  const afterMove = await imageAfter(1);
  assert.notEqual(page.url(), url);
  assert.match(page.url(), /specularU=\d/);
  const differing = afterMove.data.filter((v, i) => v !== before.data[i]).length;
  assert.ok(differing > 100, `the image changed (${differing} channel values differ)`);
});

test('the difference view of the agreement scene is near black', async (t) => {
  // The material of the two hosts' agreement: exponents low enough that the
  // Maya side's limit on the specular value never bites.
  await page.goto(baseUrl + '?view=diff&gain=1&w=96&h=96&spp=16&specularU=40&specularV=4' +
    '&reflectSamples=16&specularPower=0.5&diffuse=0.8&reflectivity=0.5&color=0.5,0.5,0.5');
  const diff = stats(await imageAfter(16));
  // The view change renders afresh: forget the difference frame's count so
  // that the side-by-side frame, not the old canvas, is what is read.
  await page.evaluate(() => { document.getElementById('image').dataset.samples = '0'; });
  await page.selectOption('#view', 'side');
  const sideBySide = await imageAfter(16);
  assert.equal(sideBySide.width, 192, 'both hosts side by side');
  const both = stats(sideBySide);
  t.diagnostic(`mean difference ${diff.linear.toFixed(4)}, mean image ${both.linear.toFixed(4)} (linear)`);
  // What is left is the glossy reflections' sampling noise: 256 reflection
  // rays per pixel leave the hosts about 0.004 apart on an image whose mean
  // is about 0.15. 0.01 leaves room for the noise; a wrong or missing term
  // moves the mean by several times that.
  assert.ok(diff.linear < 0.01, `mean difference ${diff.linear}`);
  assert.ok(both.linear > 0.05, `mean image ${both.linear}`);
});

test('bad typed values are all marked, stay out of the address and block Save and Export with a reason',
  async () => {
    await page.goto(baseUrl + '?w=64&h=48&spp=1&specularU=50');
    await imageAfter(1);
    await typeValue('specularU', 'abc');
    const error = page.locator('.control[data-input="specularU"] .error');
    await assertEventually(async () => /not a finite number/.test(await error.textContent()));
    await typeValue('specularPower', '-1');
    const power = page.locator('.control[data-input="specularPower"] .error');
    await assertEventually(async () => /specularPower: .+/.test(await power.textContent()));
    await page.fill('#width', '5');
    await page.dispatchEvent('#width', 'change');
    await assertEventually(async () => /width: /.test(await page.textContent('#view-error')));
    // Every refused field stays marked at once, not only the latest.
    assert.match(await error.textContent(), /not a finite number/, 'the earlier error stays');
    assert.equal(await page.locator('.control.invalid').count(), 2);
    assert.equal(await page.getAttribute('#width', 'aria-invalid'), 'true');
    // The address keeps the last valid values.
    assert.match(page.url(), /specularU=50(&|$)/);
    assert.doesNotMatch(page.url(), /abc|specularPower|w=5(&|$)/);

    // Save and Export say why they are unavailable, and download nothing.
    let downloads = 0;
    const count = () => { downloads += 1; };
    page.on('download', count);
    await page.click('#save-png');
    assert.match(await page.textContent('#save-error'), /unavailable.*specularU.*specularPower.*width/i);
    assert.match(await page.getAttribute('#save-png', 'title'), /specularU/);
    if (!(await page.locator('#export-ma').isDisabled())) {
      await page.click('#export-ma');
      assert.match(await page.textContent('#files-error'), /unavailable.*specularU/i);
    }

    // Corrected, each mark goes on its own; with none left, Save works again.
    await typeValue('specularU', '60');
    await assertEventually(async () => /specularU=60/.test(page.url()));
    assert.equal(await error.textContent(), '');
    assert.match(await power.textContent(), /specularPower: .+/, 'the other mark stays');
    await typeValue('specularPower', '0.5');
    await page.fill('#width', '64');
    await page.dispatchEvent('#width', 'change');
    await assertEventually(async () => (await page.locator('.invalid').count()) === 0);
    assert.equal(await page.textContent('#save-error'), '');
    const [file] = await Promise.all([page.waitForEvent('download'), page.click('#save-png')]);
    assert.equal(file.suggestedFilename(), 'glintWeave1-side.png', 'named after the material');
    page.off('download', count);
    assert.equal(downloads, 1, 'only the valid save downloaded');
  });

test('a link with unknown keys and bad values gives a working page naming them', async () => {
  await page.goto(baseUrl + '?view=bogus&specularu=5&specularV=abc&w=64&h=48&spp=1&specularU=77' +
    '&color=0.5,0.25,0&spp=2');
  const image = await imageAfter(1);
  assert.equal(image.width, 128, 'the default view (side by side) is kept');
  const note = page.locator('#link-note');
  assert.ok(await note.isVisible());
  const text = await note.textContent();
  for (const named of [/view: unknown view 'bogus'/, /'specularu' \(did you mean specularU\?\)/,
    /specularV: 'abc' is not a finite number/, /spp is given more than once/]) {
    assert.match(text, named);
  }
  // The rest applies, and the address holds only what was accepted.
  assert.equal(await page.inputValue('#text-specularU'), '77');
  assert.equal(await page.inputValue('#text-color'), '0.5,0.25,0');
  assert.equal(await page.locator('.invalid').count(), 0, 'nothing refused is left in a field');
  const url = new URL(page.url());
  assert.deepEqual([...url.searchParams.keys()].sort(), ['color', 'h', 'specularU', 'spp', 'w']);
  assert.equal(url.searchParams.get('spp'), '1');
  await page.click('#link-dismiss');
  assert.ok(!(await note.isVisible()));
});

test('an exported .ma holds the value set', async (t) => {
  await page.goto(baseUrl + '?w=64&h=48&spp=1');
  await imageAfter(1);
  if (await page.locator('#export-ma').isDisabled()) {
    t.skip('this build has no scene file writers');
    return;
  }
  await typeValue('specularU', '234.5');
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#export-ma')]);
  const text = readFileSync(await download.path(), 'utf8');
  assert.match(text, /createNode glintWeave/);
  assert.match(text, /setAttr "\.su" 234\.5;/);
});

test('loading a .ma sets the controls', async (t) => {
  await page.goto(baseUrl + '?w=64&h=48&spp=1');
  await imageAfter(1);
  if (await page.locator('#open-scene').isDisabled()) {
    t.skip('this build has no scene file readers');
    return;
  }
  const dir = mkdtempSync(join(tmpdir(), 'glintweave-ma-'));
  const file = join(dir, 'shot.ma');
  writeFileSync(file, [
    '//Maya ASCII scene',
    'requires "glintWeave" "1.0";',
    'createNode transform -n "pSphere1";',
    'createNode glintWeave -n "silk";',
    '\tsetAttr ".su" 321;',
    '\tsetAttr ".c" -type "float3" 0.25 0.5 0.75;',
    '',
  ].join('\n'));
  await page.setInputFiles('#open-scene', file);
  await assertEventually(async () => (await page.inputValue('#text-specularU')) === '321');
  assert.equal(await page.inputValue('#text-color'), '0.25,0.5,0.75');
  assert.match(page.url(), /specularU=321/);
  rmSync(dir, { recursive: true, force: true });
});


// Where an element is drawn, in window pixels.
const boxOf = (selector) => page.locator(selector).boundingBox();

test('the page fits the window: no sideways scrolling, the image scaled to its space, the buttons in view',
  async () => {
    for (const [width, height] of [[1024, 700], [1920, 1080]]) {
      await page.setViewportSize({ width, height });
      await page.goto(baseUrl + '?spp=1');
      await imageAfter(1);
      const size = `${width}x${height}`;
      const page_ = await page.evaluate(() => ({
        sw: document.documentElement.scrollWidth, cw: document.documentElement.clientWidth,
        sh: document.documentElement.scrollHeight, ch: document.documentElement.clientHeight }));
      assert.ok(page_.sw <= page_.cw, `${size}: no sideways scrolling (${page_.sw} > ${page_.cw})`);
      assert.ok(page_.sh <= page_.ch, `${size}: the page is the window (${page_.sh} > ${page_.ch})`);
      for (const id of ['#save-png', '#save-exr', '#export-ma', '#export-mi', '#fit', '#one']) {
        const b = await boxOf(id);
        assert.ok(b && b.x >= 0 && b.y >= 0 && b.x + b.width <= width && b.y + b.height <= height,
          `${size}: ${id} is in view`);
      }
      // Fitted: the image's longer side meets the viewport's.
      const port = await boxOf('#viewport');
      const image = await boxOf('#image');
      assert.ok(image.x >= port.x - 1 && image.x + image.width <= port.x + port.width + 1,
        `${size}: the image is inside its viewport`);
      const filled = Math.max(image.width / port.width, (image.height + 18) / port.height);
      assert.ok(filled > 0.9, `${size}: the image fills its space (${filled.toFixed(2)})`);
      if (width === 1920) assert.ok(image.width > 800, 'a large window shows the image enlarged');
      if (process.env.GLINTWEAVE_LAYOUT_SHOTS) {
        await page.screenshot({ path: `${process.env.GLINTWEAVE_LAYOUT_SHOTS}/studio-${size}.png` });
      }

      // Neither a message nor the difference view's controls move anything.
      const before = await boxOf('#viewport');
      await page.fill('#width', '5');
      await page.dispatchEvent('#width', 'change');
      await assertEventually(async () => /width: /.test(await page.textContent('#view-error')));
      await page.selectOption('#view', 'diff');
      assert.ok(await page.locator('#gain').isVisible());
      assert.deepEqual(await boxOf('#viewport'), before, `${size}: the layout does not jump`);
    }
    await page.setViewportSize({ width: 1180, height: 660 });
  });

test('zoom: 1:1 shows image pixels as screen pixels, Fit scales back, the wheel zooms', async () => {
  await page.goto(baseUrl + '?w=64&h=48&spp=1');
  await imageAfter(1);
  const scale = async () => Number(await page.getAttribute('#viewport', 'data-scale'));
  const fitted = await scale();
  assert.ok(fitted > 2, `a small image is enlarged to fit (${fitted})`);
  await page.click('#one');
  assert.equal(await scale(), 1);
  assert.equal(Math.round((await boxOf('#image')).width), 128);
  // Ctrl+wheel zooms the image; the wheel alone is the camera's.
  const port = await boxOf('#viewport');
  await page.mouse.move(port.x + port.width / 2, port.y + port.height / 2);
  await page.keyboard.down('Control');
  await page.mouse.wheel(0, -400);
  await page.keyboard.up('Control');
  await assertEventually(async () => (await scale()) > 1.2);
  await page.click('#fit');
  assert.equal(await scale(), fitted);
});

test('undo and redo step through material changes, but not while typing', async () => {
  await page.goto(baseUrl + '?w=64&h=48&spp=1');
  await imageAfter(1);
  const url = () => new URL(page.url()).searchParams;
  const first = url().get('specularU');
  // A drag is one step, however many values it passes.
  await setSlider('specularU', 300);
  await setSlider('specularU', 320);
  const dragged = url().get('specularU');
  assert.notEqual(dragged, first);
  await typeValue('specularV', '7');
  await assertEventually(async () => url().get('specularV') === '7');
  assert.equal(await page.getAttribute('#undo', 'data-steps'), '2');

  // In a text field Ctrl+Z is the field's own.
  await page.focus('#text-specularV');
  await page.keyboard.press('Control+z');
  assert.equal(url().get('specularV'), '7');
  await page.locator('#viewport').click();
  await page.keyboard.press('Control+z');
  await assertEventually(async () => url().get('specularV') !== '7');
  assert.equal(await page.inputValue('#text-specularV'), url().get('specularV') || '10');
  assert.equal(url().get('specularU'), dragged);
  await page.keyboard.press('Control+z');
  await assertEventually(async () => url().get('specularU') === first);
  assert.ok(await page.locator('#undo').isDisabled());
  await page.keyboard.press('Control+Shift+z');
  await assertEventually(async () => url().get('specularU') === dragged);
  await page.click('#redo');
  await assertEventually(async () => url().get('specularV') === '7');
  assert.ok(await page.locator('#redo').isDisabled());
  // A new change after undoing forgets what could be redone.
  await page.click('#undo');
  await typeValue('diffuse', '0.3');
  await assertEventually(async () => url().get('diffuse') === '0.3');
  assert.ok(await page.locator('#redo').isDisabled());
});

test('each control: named for assistive technology, described, and reset to its default', async () => {
  await page.goto(baseUrl + '?w=64&h=48&spp=1&specularU=300');
  await imageAfter(1);
  const inputs = (await (await page.request.get(baseUrl + 'api/inputs')).json()).inputs;
  const specularU = inputs.find((i) => i.name === 'specularU');
  const labelled = page.getByLabel('specularU', { exact: true });
  assert.ok((await labelled.count()) >= 2, 'the slider and the field carry the name');
  assert.equal(await page.getAttribute('.control[data-input="specularU"] input[type=range]', 'title'),
    specularU.description);
  assert.equal(await page.getAttribute('#text-color', 'aria-label'), 'color');

  // The colour's whole value shows in its field.
  await typeValue('color', '0.2140,0.2140,0.2140');
  await assertEventually(async () => /color=0\.2140/.test(page.url()));
  const whole = await page.locator('#text-color').evaluate((el) => el.scrollWidth <= el.clientWidth);
  assert.ok(whole, 'the colour field is wide enough for its value');

  // Small reflectSamples values each get a stretch of the slider.
  const picks = new Set();
  for (let pos = 0; pos <= 300; pos += 10) {
    await setSlider('reflectSamples', pos);
    picks.add(await page.inputValue('#text-reflectSamples'));
  }
  for (const v of ['1', '2', '3', '4']) assert.ok(picks.has(v), `reflectSamples ${v} can be picked`);

  const reset = page.locator('.control[data-input="specularU"] button.reset');
  assert.ok(await reset.isEnabled());
  await reset.click();
  assert.equal(await page.inputValue('#text-specularU'), specularU.default);
  await assertEventually(async () => !/specularU=/.test(page.url()));
  assert.ok(await reset.isDisabled(), 'nothing to reset at the default');
});

test('A/B: a kept look shows whole, split against the current one, and comes back', async () => {
  await page.goto(baseUrl + '?w=64&h=48&spp=1&reflectivity=0&specularU=50');
  const a = await imageAfter(1);
  await page.click('#snapshot');
  await page.evaluate(() => { document.getElementById('image').dataset.samples = '0'; });
  await typeValue('color', '0.9,0.1,0.1');
  await page.selectOption('#compare', 'off');
  const b = await imageAfter(1);
  assert.notDeepEqual(b.data, a.data, 'the look changed');
  const canvas = () => page.evaluate(() => {
    const c = document.getElementById('image');
    return Array.from(c.getContext('2d').getImageData(0, 0, c.width, c.height).data);
  });
  await page.selectOption('#compare', 'a');
  assert.deepEqual(await canvas(), a.data, 'A shows the kept look');
  assert.equal(await page.getAttribute('#image', 'data-shows'), 'a');
  await page.selectOption('#compare', 'split');
  await page.locator('#split').evaluate((el) => {
    el.value = '500';
    el.dispatchEvent(new Event('input', { bubbles: true }));
  });
  const split = await canvas();
  const row = 20 * 128 * 4;
  const at = (data, x) => data.slice(row + x * 4, row + x * 4 + 4);
  assert.deepEqual(at(split, 10), at(a.data, 10), 'A on the left');
  assert.deepEqual(at(split, 100), at(b.data, 100), 'the current look on the right');
  await page.click('#restore');
  await assertEventually(async () => (await page.inputValue('#text-color')) === '0.5,0.5,0.5');
  assert.doesNotMatch(page.url(), /color=/);
  assert.ok(!(await page.locator('#undo').isDisabled()), 'going back to A can be undone');
});

test('the difference view gives its error as numbers beside the noise, and a false-colour scale',
  async () => {
    await page.goto(baseUrl + '?view=diff&gain=10&w=64&h=64&spp=8&specularU=40&specularV=4' +
      '&reflectSamples=4&specularPower=0.5&diffuse=0.8&reflectivity=1&color=0.5,0.5,0.5');
    const grey = await imageAfter(8);
    const figures = page.locator('#diff-figures');
    const rmse = Number(await figures.getAttribute('data-rmse'));
    const max = Number(await figures.getAttribute('data-max'));
    const noise = Number(await figures.getAttribute('data-noise'));
    assert.ok(rmse > 0 && max >= rmse && noise > 0, `rmse ${rmse}, max ${max}, noise ${noise}`);
    assert.match(await figures.textContent(), /RMSE [\d.e-]+ · max [\d.e-]+ · noise alone ≈ [\d.e-]+/);

    await page.check('#false-colour');
    assert.ok(await page.locator('#diff-scale').isVisible(), 'the scale is shown');
    const coloured = await page.evaluate(() => {
      const c = document.getElementById('image');
      return Array.from(c.getContext('2d').getImageData(0, 0, c.width, c.height).data);
    });
    let tinted = 0;
    for (let i = 0; i < coloured.length; i += 4) if (coloured[i] !== coloured[i + 2]) tinted += 1;
    assert.ok(tinted > 100, `the difference is drawn in colour (${tinted} pixels)`);
    assert.equal(grey.data.length, coloured.length);
    await page.uncheck('#false-colour');
    await page.selectOption('#view', 'side');
    assert.equal((await figures.textContent()).trim(), '', 'only the difference view has figures');
  });

test('the material name names the exported files and refuses what a scene cannot hold', async (t) => {
  await page.goto(baseUrl + '?w=64&h=48&spp=1');
  await imageAfter(1);
  await page.fill('#material-name', '1 bad');
  await page.dispatchEvent('#material-name', 'change');
  await assertEventually(async () => /name: /.test(await page.textContent('#name-error')));
  assert.doesNotMatch(page.url(), /name=/);
  await page.fill('#material-name', 'brushed_silk');
  await page.dispatchEvent('#material-name', 'change');
  await assertEventually(async () => /name=brushed_silk/.test(page.url()));
  assert.equal(await page.textContent('#name-error'), '');
  const [png] = await Promise.all([page.waitForEvent('download'), page.click('#save-png')]);
  assert.equal(png.suggestedFilename(), 'brushed_silk-side.png');
  if (await page.locator('#export-ma').isDisabled()) {
    t.skip('this build has no scene file writers');
    return;
  }
  await page.check('#text-indirect');
  await assertEventually(async () => /indirect=1/.test(page.url()));
  const [ma] = await Promise.all([page.waitForEvent('download'), page.click('#export-ma')]);
  assert.equal(ma.suggestedFilename(), 'brushed_silk.ma');
  // Maya has no indirect term: the page says so.
  assert.match(await page.textContent('#files-error'), /indirect=1/);
  assert.match(readFileSync(await ma.path(), 'utf8'), /createNode glintWeave -n "brushed_silk"/);
});

// ---- the stage ----------------------------------------------------------------

// The canvas's pixels, once they differ from `before` (a new look arrived).
async function imageOtherThan(before) {
  let now = null;
  await assertEventually(async () => {
    now = await imageAfter(1);
    return now.data.some((v, i) => v !== before.data[i]);
  });
  return now;
}

test('a shape and an environment re-render both panels, and the address carries the stage', async () => {
  await page.goto(baseUrl + '?w=64&h=48&spp=1');
  let image = await imageAfter(1);
  assert.equal(image.width, 128, 'both hosts');
  await page.selectOption('#shape', 'torus');
  await assertEventually(async () => /shape=torus/.test(page.url()));
  image = await imageOtherThan(image);
  await page.selectOption('#env', 'studio');
  await assertEventually(async () => /env=studio/.test(page.url()));
  image = await imageOtherThan(image);
  // Both panels show the torus under the map: neither half is left dark.
  const halfMax = (x0) => {
    let m = 0;
    for (let y = 0; y < 48; ++y) {
      for (let x = x0; x < x0 + 64; ++x) {
        const i = (y * 128 + x) * 4;
        m = Math.max(m, (image.data[i] + image.data[i + 1] + image.data[i + 2]) / 3);
      }
    }
    return m;
  };
  assert.ok(halfMax(0) > 30 && halfMax(64) > 30, `both panels are lit (${halfMax(0)}, ${halfMax(64)})`);
  await page.fill('#exposure', '2');
  await page.dispatchEvent('#exposure', 'input');
  await assertEventually(async () => /exposure=2/.test(page.url()));
  const link = page.url();
  await page.goto(link);
  await imageAfter(1);
  assert.equal(await page.inputValue('#shape'), 'torus');
  assert.equal(await page.inputValue('#env'), 'studio');
  assert.equal(await page.inputValue('#exposure'), '2');
  assert.equal(page.url(), link, 'the address round-trips');
});

test('dragging the image orbits the camera and the wheel moves it', async () => {
  await page.goto(baseUrl + '?w=64&h=48&spp=1&shape=torus');
  const image = await imageAfter(1);
  const port = await boxOf('#viewport');
  await page.mouse.move(port.x + port.width / 2, port.y + port.height / 2);
  await page.mouse.down();
  await page.mouse.move(port.x + port.width / 2 + 60, port.y + port.height / 2 + 30, { steps: 5 });
  await page.mouse.up();
  await assertEventually(async () => /azimuth=-/.test(page.url()) && /elevation=/.test(page.url()));
  await imageOtherThan(image);
  await page.mouse.wheel(0, 300);
  await assertEventually(async () => /distance=/.test(page.url()));
  const distance = Number(new URL(page.url()).searchParams.get('distance'));
  assert.ok(distance > 1, `the wheel moved the camera away (${distance})`);
  await page.click('#camera-reset');
  await assertEventually(async () => !/azimuth=|distance=/.test(page.url()));
});

test('a small OBJ and .hdr made here upload and render; a bad file is named', async () => {
  await page.goto(baseUrl + '?w=64&h=48&spp=1');
  let image = await imageAfter(1);
  const obj = 'v -1 0 0\nv 1 0 0\nv 0 2 0\nv 0 1 -1\nf 1 2 3\nf 1 3 4\nf 2 4 3\n';
  await page.setInputFiles('#upload-model', { name: 'tri.obj', mimeType: 'text/plain', buffer: Buffer.from(obj) });
  await assertEventually(async () => /shape=upload-[0-9a-f]{16}/.test(page.url()));
  assert.match(await page.textContent('#stage-error'), /tri\.obj: 3 triangles/);
  image = await imageOtherThan(image);
  const header = Buffer.from('#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 4 +X 8\n');
  const hdr = Buffer.concat([header, Buffer.alloc(8 * 4 * 4, 0x80)]);
  await page.setInputFiles('#upload-env', { name: 'grey.hdr', mimeType: 'application/octet-stream', buffer: hdr });
  await assertEventually(async () => /env=upload-[0-9a-f]{16}/.test(page.url()));
  await imageOtherThan(image);
  await page.setInputFiles('#upload-model', { name: 'bad.obj', mimeType: 'text/plain', buffer: Buffer.from('\x01\x02 nothing') });
  await assertEventually(async () => /bad\.obj/.test(await page.textContent('#stage-error')));
  // A link to an upload the studio does not hold says so and still starts.
  await page.goto(baseUrl + '?w=64&h=48&spp=1&shape=upload-00000000000000ff');
  await imageAfter(1);
  assert.match(await page.textContent('#link-problems'), /upload-00000000000000ff is not on this studio/);
});

test('the turntable preview renders its frames and plays them', async () => {
  await page.goto(baseUrl + '?w=64&h=48&spp=1');
  await imageAfter(1);
  await page.click('#turntable');
  await page.waitForFunction(() => document.getElementById('turntable-view').dataset.playing === 'true',
    null, { timeout: 240_000 });
  const shown = () => page.getAttribute('#turntable-view', 'data-shown');
  const first = await shown();
  await assertEventually(async () => (await shown()) !== first);
  assert.equal(await page.getAttribute('#turntable-view', 'data-frames'), '24');
  await page.click('#turntable');
  assert.ok(await page.locator('#turntable-view').isHidden());
});

async function assertEventually(check) {
  const end = Date.now() + timeout;
  while (Date.now() < end) {
    if (await check()) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  assert.fail('the condition never came true');
}
