// The bench host's dashboard: an overview of every device, worst first, and one device's page
// (plant diagram, tables, alarms, plots). State from /api/v1, live from the event stream; labels
// and units of readings come from the API's field table, never from this file.
"use strict";

const LABELS = {
  en: { overview: "Overview", span: "Span", range: "from–to", from: "From", to: "To",
        language: "Language", devices: "Devices", device: "Device", link: "Link", data: "Data",
        dcV: "DC (V)", dcI: "DC (A)", ac: "AC", alarms: "Alarms", plant: "Plant",
        activeAlarms: "Active alarms", acInputs: "AC inputs", dcUnits: "DC units",
        rectifiers: "Rectifier modules", plots: "Plots", csv: "Readings of the range as CSV (the newest 1000 rounds at most)", log: "Alarm log",
        level: "Level", alarm: "Alarm", raised: "Raised", cleared: "Cleared", up: "up",
        down: "down", live: "live", stale: "stale", restored: "restored", none: "none",
        ok: "normal", inAlarm: "in alarm", connected: "events connected",
        connecting: "events reconnecting", noData: "no data", old: "old",
        bannerStale: "data is stale", bannerRestored: "data restored from history",
        bannerDown: "link down", bannerHistory: "history is not being stored",
        levels: { 1: "critical", 2: "major", 3: "minor" }, other: "warning",
        shelf: "Rectifiers", bus: "DC bus", battery: "Battery", load: "Load", input: "AC input",
        modules: "modules", on: "on", off: "off", module: "Module", current: "Current",
        switches: "Switches", state: "State", dcVoltage: "DC voltage", dcCurrent: "DC current" },
  zh: { overview: "总览", span: "时段", range: "起止", from: "从", to: "到", language: "语言",
        devices: "设备", device: "设备", link: "链路", data: "数据", dcV: "直流 (V)",
        dcI: "直流 (A)", ac: "交流", alarms: "告警", plant: "系统", activeAlarms: "当前告警",
        acInputs: "交流输入", dcUnits: "直流单元", rectifiers: "整流模块", plots: "曲线",
        csv: "导出本时段读数 CSV（最多最新 1000 轮）", log: "告警记录", level: "级别", alarm: "告警", raised: "产生时间",
        cleared: "消除时间", up: "正常", down: "中断", live: "实时", stale: "过时",
        restored: "恢复", none: "无", ok: "正常", inAlarm: "告警", connected: "实时流已连接",
        connecting: "实时流重连中", noData: "无数据", old: "前", bannerStale: "数据已过时",
        bannerRestored: "数据来自历史", bannerDown: "链路中断", bannerHistory: "历史未保存",
        levels: { 1: "紧急", 2: "重要", 3: "一般" }, other: "提示", shelf: "整流",
        bus: "直流母线", battery: "电池", load: "负载", input: "交流输入", modules: "模块",
        on: "开", off: "关", module: "模块", current: "电流", switches: "开关", state: "状态",
        dcVoltage: "直流电压", dcCurrent: "直流电流" },
};

const state = { lang: localStorage.getItem("lang") || "en", span: 600000, range: null,
                devices: new Map(), shown: null, plots: [], plotsLoaded: 0, generation: 0 };

function text(key) { return LABELS[state.lang][key] ?? key; }
function levelText(level) { return `${level} ${LABELS[state.lang].levels[level] || text("other")}`; }
function number(value, digits) { return typeof value === "number" ? value.toFixed(digits) : "–"; }
const pad = (n, width = 2) => String(n).padStart(width, "0");
// 24-hour local time, the one format of tables and plots: "2026-12-09 14:05:09".
function timeText(ms, withDate = true) {
  if (typeof ms !== "number") return "–";
  const d = new Date(ms);
  const day = `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}`;
  const clock = `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
  return withDate ? `${day} ${clock}` : clock;
}

// A time as a cell's content: wraps between date and clock, never inside them.
function timeNode(ms) {
  const node = element("time", "", timeText(ms));
  if (typeof ms === "number") node.dateTime = new Date(ms).toISOString();
  return node;
}

async function getJson(path) {
  const response = await fetch(path, { cache: "no-store" });
  if (!response.ok) throw new Error(path + ": " + response.status);
  return response.json();
}

function element(tag, className, content) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (content instanceof Node) node.appendChild(content);
  else if (content !== undefined) node.textContent = content;
  return node;
}

// A row of cells; a cell given as a Node is put in as it is.
function row(values) {
  const tr = document.createElement("tr");
  values.forEach((value) => tr.appendChild(element("td", "", value)));
  return tr;
}

// An alarm's English label with the device's own text beside it, marked as Chinese; the host's
// own alarms ("communication lost") have one English text.
function alarmName(alarm) {
  const span = element("span", "alarm-name");
  if (!alarm.label || alarm.label === alarm.text) {
    span.textContent = alarm.text;
    return span;
  }
  const own = element("span", "own", alarm.text);
  own.lang = "zh";
  if (state.lang === "en") span.append(element("span", "", alarm.label), " ");
  span.append(own);
  return span;
}

function applyLabels() {
  document.documentElement.lang = state.lang;
  document.querySelectorAll("[data-text]").forEach((node) => { node.textContent = text(node.dataset.text); });
}

// ---- devices and their severity

function deviceState(name) {
  let device = state.devices.get(name);
  if (!device) {
    device = { name, info: null, fields: new Map(), log: [], overviewRow: null };
    state.devices.set(name, device);
  }
  return device;
}

function setFields(device, fields) { device.fields = new Map(fields.map((f) => [f.name, f])); }
function value(device, name) { const f = device.fields.get(name); return f ? f.value : undefined; }

// Lower is worse: link down, then the most severe alarm level, then stale data.
function severity(device) {
  const info = device.info;
  if (!info) return [9, 1, 0];
  const levels = info.alarms.map((a) => a.level).filter((l) => l > 0);
  const worst = levels.length ? Math.min(...levels) : 8;
  return [info.link !== "up" ? 0 : worst, info.stale ? 0 : 1, -info.alarms.length];
}
function compareSeverity(a, b) {
  const sa = severity(a), sb = severity(b);
  for (let i = 0; i < sa.length; i++) if (sa[i] !== sb[i]) return sa[i] - sb[i];
  return a.name.localeCompare(b.name);
}

function dataText(info) {
  if (!info) return text("noData");
  const source = info.stale ? text("stale") : text(info.source);
  return typeof info.data_age_s === "number" ? `${source}, ${info.data_age_s.toFixed(1)} s` : source;
}

function acState(device) {
  const count = value(device, "ac.channel_count");
  if (typeof count !== "number") return "–";
  const failed = (device.info?.alarms || []).some((a) => partOfAlarm(a).startsWith("ac"));
  return `${count} × ${failed ? text("inAlarm") : text("ok")}`;
}

// Rows are kept and their cells renewed, so a focused device link keeps its focus between rounds;
// they move only when the order changes.
function showOverview() {
  const devices = [...state.devices.values()].sort(compareSeverity);
  const tbody = document.querySelector("table.overview tbody");
  for (const device of devices) {
    const info = device.info || { alarms: [] };
    if (!device.overviewRow) {
      const link = element("a", "", device.name);
      link.href = `#device=${encodeURIComponent(device.name)}`;
      device.overviewRow = row([link, "", "", "", "", "", ""]);
      device.overviewRow.dataset.device = device.name;
    }
    const levels = info.alarms.map((a) => a.level);
    const alarms = levels.length ? `${levels.length} (${levelText(Math.min(...levels))})` : text("none");
    const cells = [linkBadge(info), dataText(info), number(value(device, "dc.out_v"), 2),
                   number(value(device, "dc.out_i"), 1), acState(device), alarms];
    cells.forEach((content, i) => device.overviewRow.cells[i + 1].replaceChildren(content));
    device.overviewRow.className = levels.length ? `level-${Math.min(...levels)}` : "";
  }
  if (devices.some((device, i) => tbody.rows[i] !== device.overviewRow)) {
    tbody.replaceChildren(...devices.map((device) => device.overviewRow));
  }
  const worst = devices[0];
  const summary = worst && worst.info ? worstSummary(worst) : "";
  document.title = summary ? `${summary} – kelvra-host` : "kelvra-host";
}

function worstSummary(device) {
  const info = device.info;
  if (info.link !== "up") return `${device.name}: ${text("bannerDown")}`;
  if (info.alarms.length) {
    return `${device.name}: ${levelText(Math.min(...info.alarms.map((a) => a.level)))}`;
  }
  if (info.stale) return `${device.name}: ${text("stale")}`;
  return text("ok");
}

function linkBadge(info) {
  return element("span", `state ${info.link === "up" ? "up" : "down"}`, text(info.link === "up" ? "up" : "down"));
}

// Banners: what the page must not let a reader miss.
function showBanners() {
  const banners = [];
  for (const device of state.devices.values()) {
    const info = device.info;
    if (!info) continue;
    if (info.link !== "up") banners.push(["down", `${device.name}: ${text("bannerDown")}`]);
    if (info.stale) banners.push(["stale", `${device.name}: ${text("bannerStale")}`]);
    else if (info.source === "restored") banners.push(["restored", `${device.name}: ${text("bannerRestored")}`]);
  }
  const first = [...state.devices.values()].find((d) => d.info && d.info.history_not_stored);
  if (first) banners.push(["history", `${text("bannerHistory")}: ${first.info.history_not_stored}`]);
  document.getElementById("banners").replaceChildren(...banners.map(([kind, message]) => {
    const banner = element("p", `banner ${kind}`, message);
    banner.dataset.kind = kind;
    return banner;
  }));
}

// ---- the device page

// The plant part an alarm belongs to, from its English label: "ac1", "ac", "shelf", "bus",
// "battery", "load", or "plant" for the whole (communication lost).
function partOfAlarm(alarm) {
  const label = (alarm.label || "").toLowerCase();
  const input = label.match(/^ac input (\d+)/);
  if (input) return `ac${input[1]}`;
  if (label.startsWith("ac") || label.includes("input power")) return "ac";
  if (label.includes("rectifier")) return "shelf";
  if (label.includes("battery")) return "battery";
  if (label.includes("load")) return "load";
  if (label.includes("dc") || label.includes("disconnect")) return "bus";
  return "plant";
}

function partInAlarm(device, part) {
  return (device.info?.alarms || []).some((a) => {
    const of = partOfAlarm(a);
    return of === part || of === "plant" || (of === "ac" && part.startsWith("ac"));
  });
}

function showDevicePage(device) {
  const page = document.getElementById("device");
  const info = device.info || { alarms: [], link: "down" };
  page.querySelector(".name").textContent = device.name;
  const link = page.querySelector(".link");
  link.textContent = text(info.link === "up" ? "up" : "down");
  link.className = `link state ${info.link === "up" ? "up" : "down"}`;
  page.querySelector(".data").textContent = dataText(device.info);
  page.querySelector(".alarms tbody").replaceChildren(...info.alarms.map((a) => {
    const tr = row([levelText(a.level), alarmName(a), timeNode(a.raised_ms)]);
    tr.className = `level-${a.level}`;
    tr.dataset.key = a.key;
    return tr;
  }));
  showTables(device);
  showDiagram(device);
  showLog(device);
}

function channelCount(device, prefix) {
  let count = 0;
  while (device.fields.has(`${prefix}[${count}].${prefix.startsWith("ac") ? "a" : "value"}`)) count++;
  return count;
}

// The part of a field's label after its unit's name: "AC input 1 phase A voltage" → "phase A
// voltage", a column head shared by every row.
function columnLabel(field) { return field.label.replace(/^(AC input \d+|DC( unit \d+)?|rectifier \d+) /i, ""); }

// Rows of readings under heads from the field table's labels, each value with its unit.
function fieldTable(table, rows) {
  const head = rows.length ? [""].concat(rows[0][1].map(columnLabel)) : [];
  const thead = table.tHead || table.createTHead();
  thead.replaceChildren(...(head.length ? [head.reduce((tr, label) => {
    tr.appendChild(element("th", "", label));
    return tr;
  }, document.createElement("tr"))] : []));
  table.tBodies[0].replaceChildren(...rows.map(([name, fields]) => {
    const tr = document.createElement("tr");
    tr.appendChild(element("th", "", name));
    for (const f of fields) {
      const td = element("td", "", `${number(f.value, f.unit === "Hz" ? 2 : 1)} ${f.unit}`);
      td.title = f.label;
      tr.appendChild(td);
    }
    return tr;
  }));
}

function showTables(device) {
  const page = document.getElementById("device");
  const inputs = [...Array(channelCount(device, "ac.channel")).keys()];
  fieldTable(page.querySelector("table.ac"), inputs.map((i) =>
    [`${text("input")} ${i + 1}`, ["a", "b", "c", "f"].map((k) => device.fields.get(`ac.channel[${i}].${k}`)).filter(Boolean)]));
  const units = ["dc", "dc2"].filter((u) => device.fields.has(`${u}.out_v`));
  // One row per reading and a column per DC unit: a unit has more readings than fit across.
  const dcReadings = (u) => [...device.fields.values()].filter((f) => f.reading && f.name.startsWith(`${u}.`));
  const dcTable = page.querySelector("table.dc");
  fieldTable(dcTable, units.length ? dcReadings(units[0]).map((f) => [columnLabel(f),
    units.map((u) => device.fields.get(f.name.replace(/^dc\./, `${u}.`))).filter(Boolean)]) : []);
  if (units.length) {
    dcTable.tHead.replaceChildren(row(["", ...units.map((u, i) => `DC ${i + 1}`)]));
  }
  const modules = [...Array(channelCount(device, "rc.channel")).keys()];
  page.querySelector(".modules tbody").replaceChildren(...modules.map((i) => {
    const alarm = value(device, `rc.channel[${i}].alarm_state`);
    const switches = [...device.fields.values()].filter((f) => f.name.startsWith(`rc.channel[${i}].switch_state[`));
    const states = element("span", "", switches.map((f) => (f.value ? text("on") : text("off"))).join(" · ") || "–");
    states.title = switches.map((f) => f.label).join(", ");
    const tr = row([`${i + 1}`, `${number(value(device, `rc.channel[${i}].value`), 1)} A`, states,
      alarm ? text("inAlarm") : text("ok")]);
    tr.className = "module-row" + (alarm ? " level-1" : "");
    return tr;
  }));
}

// The diagram's parts in the order power flows, each a column; a part not fitted (no field of it
// in the record) is not drawn.
function diagramParts(device) {
  const inputs = channelCount(device, "ac.channel");
  const modules = channelCount(device, "rc.channel");
  const columns = [[], [], [], []];
  for (let i = 0; i < inputs; i++) {
    columns[0].push({ part: `ac${i + 1}`, title: `${text("input")} ${i + 1}`,
      line: `${number(value(device, `ac.channel[${i}].a`), 0)} V ${number(value(device, `ac.channel[${i}].f`), 1)} Hz` });
  }
  if (modules) {
    const total = [...Array(modules).keys()].reduce((sum, i) => sum + (value(device, `rc.channel[${i}].value`) || 0), 0);
    columns[1].push({ part: "shelf", title: `${text("shelf")} (${modules} ${text("modules")})`, line: `${number(total, 1)} A` });
  }
  if (device.fields.has("dc.out_v")) {
    columns[2].push({ part: "bus", title: text("bus"), line: `${number(value(device, "dc.out_v"), 1)} V ${number(value(device, "dc.out_i"), 1)} A` });
    const battery = [...device.fields.values()].filter((f) => /^dc\.m\[\d+\]$/.test(f.name));
    if (battery.length) columns[3].push({ part: "battery", title: text("battery"), line: battery.map((f) => `${number(f.value, 1)} A`).join(" ") });
    columns[3].push({ part: "load", title: text("load"), line: `${number(value(device, "dc.out_i"), 1)} A` });
  }
  return columns.filter((column) => column.length);
}

// The one-line diagram: AC inputs → rectifier shelf → DC bus → battery and load, left to right,
// or top to bottom in a narrow panel; each part coloured by its alarms.
function showDiagram(device) {
  const holder = document.querySelector("#device .diagram");
  const narrow = holder.clientWidth > 0 && holder.clientWidth < 600;
  const columns = diagramParts(device);
  const place = (c, r) => (narrow ? { x: 10 + r * 180, y: 10 + c * 80 } : { x: 10 + c * 180, y: 10 + r * 70 });
  columns.forEach((column, c) => column.forEach((b, r) => Object.assign(b, place(c, r))));
  const boxes = columns.flat();
  const ns = "http://www.w3.org/2000/svg";
  const svg = document.createElementNS(ns, "svg");
  const width = Math.max(...boxes.map((b) => b.x + 170), 200);
  const height = Math.max(...boxes.map((b) => b.y + 60), 70);
  svg.setAttribute("viewBox", `0 0 ${width} ${height}`);
  svg.setAttribute("role", "img");
  svg.setAttribute("aria-label", text("plant"));
  const add = (parent, tag, attributes, content) => {
    const node = document.createElementNS(ns, tag);
    Object.entries(attributes).forEach(([k, v]) => node.setAttribute(k, v));
    if (content !== undefined) node.textContent = content;
    parent.appendChild(node);
    return node;
  };
  const out = (b) => (narrow ? [b.x + 80, b.y + 50] : [b.x + 160, b.y + 25]);
  const into = (b) => (narrow ? [b.x + 80, b.y] : [b.x, b.y + 25]);
  columns.slice(1).forEach((column, c) => columns[c].forEach((from) => column.forEach((to) => {
    const [x1, y1] = out(from);
    const [x2, y2] = into(to);
    add(svg, "line", { x1, y1, x2, y2, class: "wire" });
  })));
  for (const b of boxes) {
    const alarmed = partInAlarm(device, b.part);
    const g = add(svg, "g", { class: `part ${alarmed ? "alarm" : "ok"}`, "data-part": b.part, "data-alarm": String(alarmed) });
    add(g, "rect", { x: b.x, y: b.y, width: 160, height: 50, rx: 6 });
    add(g, "text", { x: b.x + 8, y: b.y + 20 }, b.title);
    add(g, "text", { x: b.x + 8, y: b.y + 40 }, (alarmed ? "⚠ " : "") + b.line);
  }
  holder.replaceChildren(svg);
}

function showLog(device) {
  const rows = device.log.slice(-50).reverse();
  document.querySelector("#device .log tbody").replaceChildren(...rows.map((e) =>
    row([alarmName(e), levelText(e.level), timeNode(e.raised), timeNode(e.cleared)])));
}

function logEvent(device, event) {
  if (event.raised) {
    device.log.push({ text: event.text, label: event.label, level: event.level, raised: event.time_ms });
    return;
  }
  const open = [...device.log].reverse().find((e) => e.text === event.text && e.cleared === undefined);
  if (open) open.cleared = event.time_ms;
  else device.log.push({ text: event.text, label: event.label, level: event.level, cleared: event.time_ms });
}

// ---- the page's state: route, stream, loading

function route() {
  const match = location.hash.match(/^#device=(.+)$/);
  state.shown = match ? decodeURIComponent(match[1]) : null;
  document.getElementById("overview").hidden = state.shown !== null;
  document.getElementById("device").hidden = state.shown === null;
  if (state.shown !== null) {
    const device = deviceState(state.shown);
    showDevicePage(device);
    showCsvLink();
    loadPlots(device);
  }
}

function showCsvLink() {
  const { since, until } = chosenSpan();
  const link = document.querySelector("#device a.csv");
  link.href = `/api/v1/history/records?device=${encodeURIComponent(state.shown)}&since=${since}&until=${until}&format=csv&limit=1000`;
  link.download = `${state.shown}.csv`;
}

function refreshViews() {
  showOverview();
  showBanners();
  if (state.shown !== null) showDevicePage(deviceState(state.shown));
}

function connectStream() {
  const badge = document.getElementById("stream");
  const show = (key) => { badge.dataset.state = key; badge.dataset.text = key; badge.textContent = text(key); badge.className = `state ${key === "connected" ? "up" : "down"}`; };
  show("connecting");
  const source = new EventSource("/api/v1/events");
  source.onopen = () => show("connected");
  source.onerror = () => show("connecting");
  source.addEventListener("round", (message) => {
    const round = JSON.parse(message.data);
    const device = deviceState(round.device.name);
    device.info = round.device;
    if (round.fields) setFields(device, round.fields);
    refreshViews();
    fitPlots();
    // A fixed from–to range stays as loaded; a span follows, reloaded at most once a bucket.
    if (state.shown === device.name && !state.range && Date.now() - state.plotsLoaded > Math.max(5000, state.span / 300)) {
      loadPlots(device);
    }
  });
  source.addEventListener("alarm", (message) => {
    const event = JSON.parse(message.data);
    logEvent(deviceState(event.device), event);
    refreshDevices();
  });
  source.addEventListener("link", () => refreshDevices());
}

async function refreshDevices() {
  const answer = await getJson("/api/v1/devices");
  for (const info of answer.devices) deviceState(info.name).info = info;
  refreshViews();
  return answer.devices;
}

async function loadLog() {
  const since = Date.now() - 7 * 86400000;
  const answer = await getJson(`/api/v1/history/events?kind=alarm&limit=500&since=${since}`);
  for (const device of state.devices.values()) device.log = [];
  for (const event of answer.events) logEvent(deviceState(event.device), event);
}

function localInput(ms) { return timeText(ms).replace(" ", "T"); }

function setupControls() {
  const lang = document.getElementById("lang");
  const span = document.getElementById("span");
  const from = document.getElementById("from");
  const to = document.getElementById("to");
  lang.value = state.lang;
  lang.onchange = () => {
    state.lang = lang.value;
    localStorage.setItem("lang", state.lang);
    applyLabels();
    document.getElementById("stream").textContent = text(document.getElementById("stream").dataset.state);
    refreshViews();
    if (state.shown !== null) loadPlots(deviceState(state.shown));
  };
  const rangeChosen = () => {
    const since = new Date(from.value).getTime();
    const until = new Date(to.value).getTime();
    if (!(since < until)) return;
    state.range = { since, until };
    showCsvLink();
    if (state.shown !== null) loadPlots(deviceState(state.shown));
  };
  span.onchange = () => {
    document.getElementById("range").hidden = span.value !== "range";
    if (span.value === "range") {
      const now = Date.now();
      if (!from.value) from.value = localInput(now - state.span);
      if (!to.value) to.value = localInput(now);
      rangeChosen();
      return;
    }
    state.range = null;
    state.span = Number(span.value);
    if (state.shown !== null) { showCsvLink(); loadPlots(deviceState(state.shown)); }
  };
  from.onchange = rangeChosen;
  to.onchange = rangeChosen;
}

async function start() {
  applyLabels();
  setupControls();
  resizer.observe(document.querySelector("main"));
  connectStream();
  const devices = await refreshDevices();
  await loadLog();
  await Promise.all(devices.map(async (info) => {
    try {
      const answer = await getJson(`/api/v1/devices/${encodeURIComponent(info.name)}/record`);
      setFields(deviceState(info.name), answer.fields);
    } catch (error) {
      // No record yet: the first round fills it.
    }
  }));
  window.addEventListener("hashchange", route);
  refreshViews();
  route();
}

start();
