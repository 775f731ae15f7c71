// The dashboard in headless Chromium against `kelvra-host run --http` with three devices: power1
// on the built-in simulator's mains failure, power2 and power3 on kelvra-sim processes. Checks the
// overview's order by severity and the title, English without CJK outside the device's own texts,
// panels that hold their content at a desktop and a phone width, the mains alarm in the table and
// the diagram, a DC plot without gaps, a from–to range, the banners once power3's simulator is
// stopped and once history cannot be written, the page's weight.
// usage: node dashboard_browser_test.mjs KELVRA_HOST KELVRA_SIM SCREENSHOT_DIR
import { spawn } from "node:child_process";
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { createServer } from "node:net";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createRequire } from "node:module";

const require = createRequire(import.meta.url);
const { chromium } = require(process.env.KELVRA_PLAYWRIGHT || "playwright-core");

const [hostProgram, simProgram, artifacts] = process.argv.slice(2);
const SIZES = [{ width: 1400, height: 1000 }, { width: 390, height: 844 }];
let passed = 0;
let failed = 0;

function check(condition, what) {
  if (condition) passed += 1;
  else failed += 1;
  console.log(`${condition ? "ok" : "FAILED"}: ${what}`);
}

function freePort() {
  return new Promise((resolve) => {
    const server = createServer();
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

async function waitFor(what, condition, limitMs) {
  const deadline = Date.now() + limitMs;
  while (Date.now() < deadline) {
    try {
      if (await condition()) return true;
    } catch (error) {
      // not there yet
    }
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
  console.log(`timed out after ${limitMs} ms waiting for ${what}`);
  return false;
}

// A kelvra-sim process on a pseudo-terminal; resolves with the process and the terminal's path.
function startSim(address) {
  const sim = spawn(simProgram, ["--no-pace", "--address", String(address)], { stdio: ["ignore", "pipe", "pipe"] });
  return new Promise((resolve, reject) => {
    sim.stdout.once("data", (chunk) => resolve({ sim, path: String(chunk).split("\n")[0].trim() }));
    sim.once("exit", () => reject(new Error(`kelvra-sim --address ${address} exited`)));
  });
}

// Panels whose content is wider than they are, plot canvases wider than their panel, and
// whether the page scrolls sideways.
function overflows(page) {
  return page.evaluate(() => {
    const visible = (node) => node.offsetParent !== null;
    const wide = [...document.querySelectorAll(".card, .plot")].filter(visible)
      .filter((panel) => panel.scrollWidth > panel.clientWidth)
      .map((panel) => `${panel.className} ${panel.querySelector("h2, h3, h4")?.textContent} ${panel.scrollWidth}>${panel.clientWidth}`);
    const canvases = [...document.querySelectorAll(".plot canvas")].filter(visible)
      .filter((canvas) => canvas.getBoundingClientRect().width > canvas.closest(".card").clientWidth)
      .map((canvas) => canvas.closest(".plot").dataset.fields);
    const sideways = document.documentElement.scrollWidth > window.innerWidth;
    return { wide, canvases, sideways };
  });
}

// Text with Chinese characters outside an element marked lang="zh" or its own language choice.
function strayCjk(page) {
  return page.evaluate(() => {
    const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
    const stray = [];
    for (let node = walker.nextNode(); node; node = walker.nextNode()) {
      if (/[\u3400-\u9fff]/.test(node.data) && !node.parentElement.closest('[lang="zh"]')) stray.push(node.data);
    }
    return stray.concat(/[\u3400-\u9fff]/.test(document.title) ? [document.title] : []);
  });
}

const overviewNames = (page) => page.locator("table.overview tbody tr").evaluateAll(
  (rows) => rows.map((r) => r.dataset.device));

// power1's mains fail 3 s after the host starts and stay failed.
const MAINS_FAILURE = {
  equipment: { ac_inputs: 2, rectifiers: 4, dc_units: 1 },
  timeline: [{ at: 3, note: "mains lost on every AC input",
    set: { "ac*.phase_a": 0, "ac*.phase_b": 0, "ac*.phase_c": 0, "ac*.frequency": 0,
      "ac*.mains_alarm": "0xE0", "rect*.value": 0, "rect*.alarm": 1,
      "dc*.voltage": 49.5, "dc*.battery_current1": -40 } }],
};

const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu"] });
const dir = mkdtempSync(join(tmpdir(), "kelvra-browser-"));
const sims = [await startSim(2), await startSim(3)];
writeFileSync(join(dir, "mains-failure.json"), JSON.stringify(MAINS_FAILURE));
writeFileSync(join(dir, "settings.json"), JSON.stringify({
  appSetting: { has_ac: "1", has_dc: "1", b_mode: "1" },
  host: { comm_lost_after_ms: 3000, commit_interval_s: 1, devices: [{ name: "power1", address: 1 },
    { name: "power2", address: 2, port: sims[0].path }, { name: "power3", address: 3, port: sims[1].path }] } }));
const port = await freePort();
const base = `http://127.0.0.1:${port}`;
const host = spawn(hostProgram, ["run", "--http", `127.0.0.1:${port}`, "--settings", join(dir, "settings.json"),
  "--scenario", join(dir, "mains-failure.json"), "--db", join(dir, "history.db"), "--duration", "90"],
  { stdio: ["ignore", "pipe", "pipe"] });
const hostStarted = Date.now();
let hostOutput = "";
host.stdout.on("data", (chunk) => { hostOutput += chunk; });
host.stderr.on("data", (chunk) => { hostOutput += chunk; });

try {
  check(await waitFor("the HTTP server", async () => (await fetch(`${base}/api/v1/devices`)).ok, 20000),
    "the host serves the API");
  const page = await browser.newPage({ viewport: SIZES[0] });
  const errors = [];
  page.on("pageerror", (error) => errors.push(String(error)));
  const foreign = [];
  page.on("request", (request) => { if (!request.url().startsWith(base)) foreign.push(request.url()); });
  await page.goto(`${base}/`);

  check(await waitFor("power1's alarm to lead", async () =>
    JSON.stringify(await overviewNames(page)) === '["power1","power2","power3"]' &&
    (await page.locator('tr[data-device="power1"].level-1').count()) === 1, 20000),
    "the overview lists power1 in alarm first, the quiet devices after it");
  check((await page.title()).startsWith("power1: 1 critical"), `the title names the worst state: ${await page.title()}`);
  check(await waitFor("the stream", async () =>
    (await page.locator('#stream[data-state="connected"]').count()) === 1, 5000), "the event stream says it is connected");
  check(await page.evaluate(() => document.documentElement.lang) === "en", "the page's lang is en in English");
  let tabs = 0;
  for (; tabs < 12 && !(await page.evaluate(() => document.activeElement.matches('a[href^="#device="]'))); tabs++) {
    await page.keyboard.press("Tab");
  }
  await page.waitForTimeout(2500);  // a round renews the overview
  const focused = await page.evaluate(() => document.activeElement.textContent);
  await page.keyboard.press("Enter");
  check(tabs < 12 && focused === "power1" && await page.locator("#device:not([hidden]) .diagram svg").count() === 1,
    `a device's page is reached by keyboard, its link keeping focus over a round (${tabs} tabs, on ${focused})`);

  for (const size of SIZES) {
    await page.setViewportSize(size);
    await page.goto(`${base}/#`);
    await waitFor("the overview", async () => (await page.locator("table.overview tbody tr").count()) === 3, 5000);
    const overview = await overflows(page);
    check(!overview.sideways && overview.wide.length === 0,
      `overview at ${size.width}: no overflow ${JSON.stringify(overview)}`);
    await page.screenshot({ path: join(artifacts, `dashboard-overview-${size.width}.png`), fullPage: true });
    await page.goto(`${base}/#device=power1`);
    check(await waitFor("the DC plot", async () => Number(await page.locator(".plot").first().getAttribute("data-points")) > 1, 10000),
      `device page at ${size.width}: the plots have points`);
    // Plots are drawn as their series arrive and follow their panel as the page around them fills in.
    const fits = (d) => !d.sideways && d.wide.length === 0 && d.canvases.length === 0;
    await waitFor("the device page's plots to fit", async () => fits(await overflows(page)), 5000);
    const device = await overflows(page);
    check(!device.sideways && device.wide.length === 0 && device.canvases.length === 0,
      `device page at ${size.width}: panels and plots hold their content ${JSON.stringify(device)}`);
    await page.screenshot({ path: join(artifacts, `dashboard-device-${size.width}.png`), fullPage: true });
  }

  const mainsAlarm = page.locator("#device table.alarms tbody tr", { hasText: "AC input 1 mains failure" });
  check(await mainsAlarm.count() === 1 && (await mainsAlarm.locator('[lang="zh"]').innerText()).includes("停电"),
    "the mains alarm shows its English label beside the device's text marked zh");
  check(await page.locator('.diagram [data-part="ac1"][data-alarm="true"]').count() === 1 &&
    await page.locator('.diagram [data-part="bus"]').count() === 1, "the diagram shows AC input 1 in alarm and the DC bus");
  const dcPlot = page.locator('.plot[data-fields="dc.out_v"]');
  check(await dcPlot.getAttribute("data-gaps") === "0", "the DC voltage plot has no gap");
  check((await page.locator(".plot h4").allInnerTexts()).some((t) => t.startsWith("AC input 2")), "AC input 2 has a plot");
  check((await strayCjk(page)).length === 0, `English shows CJK only in the device's own texts: ${await strayCjk(page)}`);
  const csv = await page.locator("a.csv").getAttribute("href");
  const csvText = await (await fetch(base + csv)).text();
  check(/^time,.*dc\.out_v \(V\)/.test(csvText) && csvText.trim().split("\n").length > 2,
    `the CSV link gives readings per round with units: ${csvText.slice(0, 120)}`);

  // Whole minutes: the input shows ":00" seconds as no seconds, which fill() would take as refused.
  const local = (ms) => new Date(ms - new Date(ms).getTimezoneOffset() * 60000).toISOString().slice(0, 16);
  const plotPoints = () => page.locator(".plot").evaluateAll((plots) => plots.map((p) => Number(p.dataset.points)));
  await page.selectOption("#span", "range");
  await page.fill("#from", local(hostStarted - 3600000));
  await page.fill("#to", local(hostStarted - 1800000));
  check(await waitFor("the empty hour", async () => (await plotPoints()).every((n) => n === 0) &&
    (await page.locator("a.csv").getAttribute("href")).includes(`until=${Math.floor((hostStarted - 1800000) / 60000) * 60000}`), 5000),
    "a from–to range before the run draws no points and the CSV link takes that range");
  await page.fill("#to", local(Date.now() + 60000));
  check(await waitFor("the run's range", async () => (await plotPoints()).every((n) => n > 0), 5000),
    "a from–to range over the run draws its points");

  sims[1].sim.kill("SIGTERM");
  await page.goto(`${base}/#`);
  check(await waitFor("the banner", async () =>
    (await page.locator("#banners .banner", { hasText: "power3" }).count()) > 0 &&
    (await overviewNames(page))[0] === "power3", 15000),
    "once power3's simulator stops a banner says so and power3 leads the overview");
  rmSync(join(dir, "history.db"));
  mkdirSync(join(dir, "history.db"));
  check(await waitFor("the history banner", async () =>
    (await page.locator('#banners .banner[data-kind="history"]').count()) === 1, 15000),
    "once the database cannot be written a banner says history is not being stored");
  await page.selectOption("#lang", "zh");
  check(await page.evaluate(() => document.documentElement.lang) === "zh", "the page's lang follows Chinese");

  const weights = await Promise.all(["/", "/dashboard.js", "/plots.js", "/dashboard.css", "/uPlot.iife.min.js", "/uPlot.min.css"]
    .map(async (path) => (await (await fetch(base + path)).arrayBuffer()).byteLength));
  const weight = weights.reduce((a, b) => a + b, 0);
  console.log(`page weight ${weight} bytes`);
  check(weight < 150 * 1024, "the page weighs under 150 KB");
  check(foreign.length === 0, `no request leaves the host ${foreign.join(" ")}`);
  check(errors.length === 0, `no script errors on the page ${errors.join("; ")}`);
} catch (error) {
  check(false, `browser session: ${error}`);
} finally {
  await browser.close();
  host.kill("SIGTERM");
  sims.forEach(({ sim }) => sim.kill("SIGTERM"));
  await new Promise((resolve) => host.once("exit", resolve));
  rmSync(dir, { recursive: true, force: true });
}
if (failed) console.log(hostOutput.split("\n").slice(-40).join("\n"));
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
