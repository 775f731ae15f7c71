// The dashboard in headless Chromium against `kelvra-host run --http` on the simulator's
// mains-failure scenario: the supply-loss alarm appears after the mains fail and clears after they
// return, the plots have points and the module table lists the simulator's modules.
// usage: node dashboard_browser_test.mjs KELVRA_HOST SCREENSHOT_DIR
import { spawn } from "node:child_process";
import { mkdtempSync, rmSync, mkdirSync, writeFileSync } from "node:fs";
import { createServer } from "node:net";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createRequire } from "node:module";

const require = createRequire(import.meta.url);
const { chromium } = require(process.env.KELVRA_PLAYWRIGHT || "playwright-core");

const [hostProgram, artifacts] = process.argv.slice(2);
const SUPPLY_LOSS = "输入电源中断告警";
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

// The built-in mains-failure scenario's equipment and events, sooner: the mains fail 4 s after the
// simulator starts and return at 10 s, once the browser has the page open.
const MAINS_FAILURE = {
  equipment: { ac_inputs: 2, rectifiers: 6, dc_units: 1 },
  timeline: [
    { at: 4, note: "mains lost on every AC input",
      set: { "ac*.phase_a": 0, "ac*.phase_b": 0, "ac*.phase_c": 0, "ac*.frequency": 0,
        "ac*.mains_alarm": "0xE0", "rect*.value": 0, "rect*.alarm": 1,
        "dc*.voltage": 49.5, "dc*.battery_current1": -40 } },
    { at: 10, note: "mains back on every AC input",
      set: { "ac*.phase_a": 230, "ac*.phase_b": 230, "ac*.phase_c": 230, "ac*.frequency": 50,
        "ac*.mains_alarm": 0, "rect*.value": 10, "rect*.alarm": 0,
        "dc*.voltage": 53.5, "dc*.battery_current1": 0 } },
  ],
};

// The browser is up before the host starts the scenario's clock.
const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu"] });
const dir = mkdtempSync(join(tmpdir(), "kelvra-browser-"));
const scenario = join(dir, "mains-failure.json");
writeFileSync(scenario, JSON.stringify(MAINS_FAILURE));
const port = await freePort();
const host = spawn(hostProgram, ["run", "--http", `127.0.0.1:${port}`, "--scenario", scenario,
  "--poll-interval", "200", "--db", join(dir, "history.db"), "--duration", "120"],
  { stdio: ["ignore", "pipe", "pipe"] });
let hostOutput = "";
host.stdout.on("data", (chunk) => { hostOutput += chunk; });
host.stderr.on("data", (chunk) => { hostOutput += chunk; });
const started = Date.now();

try {
  check(await waitFor("the HTTP server", async () => (await fetch(`http://127.0.0.1:${port}/api/v1/devices`)).ok, 30000),
    "the host serves the API");
  const page = await browser.newPage({ viewport: { width: 1280, height: 1000 } });
  const errors = [];
  page.on("pageerror", (error) => errors.push(String(error)));
  await page.goto(`http://127.0.0.1:${port}/`);

  const activeAlarm = () => page.locator(`section[data-device="power1"] table.alarms tbody tr`, { hasText: SUPPLY_LOSS });
  check(await waitFor("the module table", async () =>
    (await page.locator(`section[data-device="power1"] tr.module-row`).count()) === 6, 30000),
    "the module table lists the simulator's six modules");
  console.log(`page ready ${((Date.now() - started) / 1000).toFixed(1)} s after the host started`);
  check(await waitFor("the supply-loss alarm", async () => (await activeAlarm().count()) === 1, 40000),
    "the supply-loss alarm is shown while the mains are lost");
  const raisedAfter = (Date.now() - started) / 1000;
  console.log(`alarm shown ${raisedAfter.toFixed(1)} s after the host started`);
  await page.screenshot({ path: join(artifacts, "dashboard-mains-failure.png"), fullPage: true });
  const log = page.locator(`section[data-device="power1"] table.log tbody tr`, { hasText: SUPPLY_LOSS });
  check(await waitFor("the alarm's clear", async () => (await activeAlarm().count()) === 0 &&
    (await log.first().locator("td").nth(3).innerText()) !== "–", 40000),
    "the alarm clears after the mains return and the log holds its raise and clear times");
  check(await waitFor("plot points", async () => {
    const counts = await page.locator(`section[data-device="power1"] .plot`).evaluateAll(
      (plots) => plots.map((plot) => Number(plot.dataset.points)));
    return counts.length === 3 && counts.every((count) => count > 0);
  }, 20000), "each plot has points");
  await page.selectOption("#lang", "en");
  check(await waitFor("the English gloss", async () =>
    (await log.count()) === 0 && (await page.locator("table.log", { hasText: "input power supply interrupted" }).count()) === 1, 5000),
    "English shows the gloss of the alarm's text");
  await page.selectOption("#span", "3600000");
  check(await waitFor("plots of the hour", async () => (await page.locator(".plot").count()) === 3, 10000),
    "a span of an hour redraws the plots");
  await page.screenshot({ path: join(artifacts, "dashboard.png"), fullPage: true });
  check(errors.length === 0, `no script errors on the page ${errors.join("; ")}`);
} catch (error) {
  check(false, `browser session: ${error}`);
} finally {
  await browser.close();
  host.kill("SIGTERM");
  await new Promise((resolve) => host.once("exit", resolve));
  rmSync(dir, { recursive: true, force: true });
}
if (failed) console.log(hostOutput.split("\n").slice(-40).join("\n"));
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
