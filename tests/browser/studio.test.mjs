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
    assert.equal(file.suggestedFilename(), 'glintweave-side.png');
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

async function assertEventually(check) {
  const end = Date.now() + timeout;
  while (Date.now() < end) {
    if (await check()) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  assert.fail('the condition never came true');
}
