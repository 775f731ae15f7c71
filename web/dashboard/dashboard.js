// The bench host's dashboard: state from /api/v1, live updates from the event stream, plots
// from the history series. Texts of the device stay as it gives them unless English is chosen.
"use strict";

// English labels of the device's alarm texts, as the API gives them beside each alarm.
const GLOSS = {};
const LABELS = {
  zh: { span: "时段", language: "语言", alarms: "当前告警", ac: "交流输入", dc: "直流单元",
        rectifiers: "整流模块", plots: "曲线", log: "告警记录", level: "级别", alarm: "告警",
        raised: "产生时间", cleared: "消除时间", input: "输入", frequency: "频率 (Hz)",
        unit: "单元", voltage: "电压 (V)", current: "电流 (A)", battery: "电池电流 (A)",
        module: "模块", state: "状态", none: "无", live: "实时", stale: "过时", restored: "恢复", stream: "实时流",
        dcPlot: "直流电压与电流", acPlot: "交流相电压", rcPlot: "整流模块电流", noData: "无数据" },
  en: { span: "Span", language: "Language", alarms: "Active alarms", ac: "AC inputs",
        dc: "DC units", rectifiers: "Rectifier modules", plots: "Plots", log: "Alarm log",
        level: "Level", alarm: "Alarm", raised: "Raised", cleared: "Cleared", input: "Input",
        frequency: "f (Hz)", unit: "Unit", voltage: "Voltage (V)", current: "Current (A)",
        battery: "Battery currents (A)", module: "Module", state: "State", none: "no data",
        live: "live", stale: "stale", restored: "restored", stream: "live stream", dcPlot: "DC voltage and current",
        acPlot: "AC phase voltages", rcPlot: "Rectifier currents", noData: "no data" },
};

const state = { lang: localStorage.getItem("lang") || "zh", span: 600000, devices: new Map() };

function text(key) { return LABELS[state.lang][key] || key; }
function deviceText(chinese) { return state.lang === "en" && GLOSS[chinese] ? GLOSS[chinese] : chinese; }
function number(value, digits) { return typeof value === "number" ? value.toFixed(digits) : "–"; }

async function getJson(path) {
  const response = await fetch(path, { cache: "no-store" });
  if (!response.ok) throw new Error(path + ": " + response.status);
  return response.json();
}

function cell(row, value) {
  const td = document.createElement("td");
  td.textContent = value;
  row.appendChild(td);
  return td;
}

function fillRows(tbody, rows) {
  tbody.replaceChildren();
  for (const values of rows) {
    const tr = document.createElement("tr");
    values.forEach((value) => cell(tr, value));
    tbody.appendChild(tr);
  }
  return tbody;
}

function applyLabels(root) {
  root.querySelectorAll("[data-text]").forEach((node) => { node.textContent = text(node.dataset.text); });
}

// One device's part of the page; created on first sight.
function deviceView(name) {
  let view = state.devices.get(name);
  if (view) return view;
  const node = document.getElementById("device-template").content.firstElementChild.cloneNode(true);
  node.dataset.device = name;
  node.querySelector(".name").textContent = name;
  applyLabels(node);
  document.getElementById("devices").appendChild(node);
  view = { node, info: null, record: null, alarms: [], log: [], plots: [] };
  state.devices.set(name, view);
  return view;
}

function showInfo(view) {
  const info = view.info;
  const link = view.node.querySelector(".link");
  link.textContent = info.link;
  link.className = "link state " + (info.link === "up" ? "up" : "down");
  view.node.querySelector(".source").textContent = text(info.source);
  view.node.querySelector(".age").textContent =
    typeof info.data_age_s === "number" ? info.data_age_s.toFixed(1) + " s" : "";
  view.alarms = info.alarms;
  showAlarms(view);
}

function learnGloss(alarm) {
  if (alarm.label && alarm.label !== alarm.text) GLOSS[alarm.text] = alarm.label;
}

function showAlarms(view) {
  view.alarms.forEach(learnGloss);
  const tbody = view.node.querySelector(".alarms tbody");
  fillRows(tbody, view.alarms.map((a) => [String(a.level ?? "–"), deviceText(a.text), a.raised || "–"]));
  [...tbody.rows].forEach((row, i) => {
    row.dataset.key = view.alarms[i].key;
    row.className = "level-" + (view.alarms[i].level ?? 1);
  });
}

function showLog(view) {
  const rows = view.log.slice(-50).reverse();
  fillRows(view.node.querySelector(".log tbody"),
           rows.map((e) => [deviceText(e.text), String(e.level), e.raised || "–", e.cleared || "–"]));
}

function showRecord(view) {
  const record = view.record;
  if (!record) return;
  const channels = (record.ac && record.ac.channel) || [];
  fillRows(view.node.querySelector(".ac tbody"), channels.map((c, i) =>
    [String(i + 1), number(c.a, 1), number(c.b, 1), number(c.c, 1), number(c.f, 2)]));
  const modules = (record.rc && record.rc.channel) || [];
  const moduleBody = fillRows(view.node.querySelector(".modules tbody"), modules.map((m, i) =>
    [String(i + 1), number(m.value, 1), (m.switch_state || []).join(" ") + " / " + m.alarm_state]));
  [...moduleBody.rows].forEach((row) => row.classList.add("module-row"));
  const units = [record.dc, record.dc2].filter((u) => u && (u.out_v || u.out_i || u.m_count));
  fillRows(view.node.querySelector(".dc tbody"), units.map((u, i) =>
    [String(i + 1), number(u.out_v, 2), number(u.out_i, 1), (u.m || []).map((v) => number(v, 1)).join(" ")]));
}

// Plots of the chosen span: each a set of fields drawn against time.
function plotSets(view) {
  const modules = ((view.record && view.record.rc && view.record.rc.channel) || []).length;
  return [
    { title: "dcPlot", fields: ["dc.out_v", "dc.out_i"] },
    { title: "acPlot", fields: ["ac.channel[0].a", "ac.channel[0].b", "ac.channel[0].c"] },
    { title: "rcPlot", fields: [...Array(modules).keys()].map((i) => `rc.channel[${i}].value`) },
  ];
}

// A series over [since, until): a long one comes in parts, each naming where the next starts.
async function getSeries(name, field, since, until) {
  const url = `/api/v1/history/series?device=${encodeURIComponent(name)}` +
    `&field=${encodeURIComponent(field)}&until=${until}`;
  const series = await getJson(`${url}&since=${since}`);
  for (let part = series; part.next_since !== undefined;) {
    part = await getJson(`${url}&since=${part.next_since}&step=${series.step}`);
    series.points.push(...part.points);
  }
  return series;
}

async function loadPlots(view, name) {
  const until = Date.now();
  const since = until - state.span;
  // A later load (new span, new module count) wins over one still fetching.
  const generation = (view.plotGeneration = (view.plotGeneration || 0) + 1);
  const fetched = [];
  for (const set of plotSets(view)) {
    if (set.fields.length === 0) continue;
    fetched.push({ set, answers: await Promise.all(set.fields.map((field) =>
      getSeries(name, field, since, until))) });
  }
  if (generation !== view.plotGeneration) return;
  const container = view.node.querySelector(".plots");
  view.plots.forEach((p) => p.plot.destroy());
  container.replaceChildren();
  view.plots = [];
  for (const { set, answers } of fetched) {
    const times = [...new Set(answers.flatMap((a) => a.points.map((p) => p.time)))].sort((a, b) => a - b);
    const data = [times.map((t) => t / 1000)];
    for (const answer of answers) {
      const byTime = new Map(answer.points.map((p) => [p.time, p.mean]));
      data.push(times.map((t) => (byTime.has(t) ? byTime.get(t) : null)));
    }
    const box = document.createElement("div");
    box.className = "plot";
    box.dataset.field = set.fields.join(",");
    const title = document.createElement("h4");
    title.textContent = text(set.title);
    box.appendChild(title);
    container.appendChild(box);
    const width = Math.max(240, Math.floor(box.getBoundingClientRect().width) - 8);
    const series = [{}].concat(answers.map((a, i) => ({
      label: `${a.field} (${a.unit})`, stroke: `hsl(${(i * 67) % 360} 65% 42%)`, width: 1.5,
      scale: a.unit })));
    const axes = [{}].concat([...new Set(answers.map((a) => a.unit))].map((unit, i) =>
      ({ scale: unit, label: unit, side: i === 0 ? 3 : 1, grid: { show: i === 0 } })));
    const plot = new uPlot({ width, height: 200, series, axes, scales: { x: { time: true } },
      legend: { live: false } }, data, box);
    box.dataset.points = String(times.length);
    view.plots.push({ plot, set, data, box });
  }
}

// A new round's values appended to the plots, so they follow live between reloads.
function extendPlots(view, record, time) {
  const values = new Map();
  const walk = (prefix, node) => {
    if (typeof node === "number") values.set(prefix, node);
    else if (Array.isArray(node)) node.forEach((v, i) => walk(`${prefix}[${i}]`, v));
    else if (node && typeof node === "object") Object.entries(node).forEach(([k, v]) => walk(prefix ? `${prefix}.${k}` : k, v));
  };
  walk("", record);
  for (const p of view.plots) {
    const cutoff = time / 1000 - state.span / 1000;
    p.data[0].push(time / 1000);
    p.set.fields.forEach((field, i) => p.data[i + 1].push(values.has(field) ? values.get(field) : null));
    while (p.data[0].length && p.data[0][0] < cutoff) p.data.forEach((column) => column.shift());
    p.plot.setData(p.data);
    p.box.dataset.points = String(p.data[0].length);
  }
}

function alarmEvent(event) {
  learnGloss(event);
  const view = deviceView(event.device);
  if (event.raised) {
    view.alarms = view.alarms.filter((a) => a.text !== event.text).concat(
      [{ key: event.key, alarm_id: event.alarm_id, text: event.text, level: event.level, raised: event.time }]);
    view.log.push({ text: event.text, key: event.key, level: event.level, raised: event.time });
  } else {
    view.alarms = view.alarms.filter((a) => a.text !== event.text);
    const open = [...view.log].reverse().find((e) => e.text === event.text && !e.cleared);
    if (open) open.cleared = event.time;
    else view.log.push({ text: event.text, key: event.key, level: event.level, cleared: event.time });
  }
  showAlarms(view);
  showLog(view);
}

function connectStream() {
  const badge = document.getElementById("stream");
  const source = new EventSource("/api/v1/events");
  source.onopen = () => { badge.textContent = text("stream"); badge.className = "state up"; badge.dataset.state = "up"; };
  source.onerror = () => { badge.className = "state down"; badge.dataset.state = "down"; };
  source.addEventListener("round", (message) => {
    const round = JSON.parse(message.data);
    const view = deviceView(round.device.name);
    const levels = new Map(view.alarms.map((a) => [a.text, a.level]));
    view.info = round.device;
    view.info.alarms = view.info.alarms.map((a) => ({ ...a, level: levels.get(a.text) ?? a.level }));
    showInfo(view);
    if (round.record) {
      const modulesBefore = ((view.record && view.record.rc && view.record.rc.channel) || []).length;
      view.record = round.record;
      showRecord(view);
      if ((round.record.rc && round.record.rc.channel || []).length !== modulesBefore) loadPlots(view, round.device.name);
      else extendPlots(view, round.record, Date.now());
    }
  });
  source.addEventListener("alarm", (message) => {
    const event = JSON.parse(message.data);
    alarmEvent(event);
    if (event.key === "COMM_LOST") refreshDevices();  // the data turned stale or live again
  });
  source.addEventListener("link", () => refreshDevices());
}

async function refreshDevices() {
  const answer = await getJson("/api/v1/devices");
  for (const info of answer.devices) {
    const view = deviceView(info.name);
    view.info = info;
    showInfo(view);
  }
  return answer.devices;
}

async function loadLog() {
  const since = Date.now() - 7 * 86400000;
  const answer = await getJson(`/api/v1/history/events?kind=alarm&limit=500&since=${since}`);
  for (const view of state.devices.values()) view.log = [];
  for (const event of answer.events) {
    learnGloss(event);
    const view = state.devices.get(event.device);
    if (!view) continue;
    if (event.raised) view.log.push({ text: event.text, key: event.key, level: event.level, raised: event.time });
    else {
      const open = [...view.log].reverse().find((e) => e.text === event.text && !e.cleared);
      if (open) open.cleared = event.time;
      else view.log.push({ text: event.text, key: event.key, level: event.level, cleared: event.time });
    }
    if (event.raised) {
      const active = view.alarms.find((a) => a.text === event.text);
      if (active) active.level = event.level;
    }
  }
  for (const view of state.devices.values()) { showAlarms(view); showLog(view); }
}

async function start() {
  const langSelect = document.getElementById("lang");
  const spanSelect = document.getElementById("span");
  langSelect.value = state.lang;
  applyLabels(document);
  langSelect.onchange = () => {
    state.lang = langSelect.value;
    localStorage.setItem("lang", state.lang);
    applyLabels(document);
    for (const view of state.devices.values()) { showInfo(view); showLog(view); }
  };
  spanSelect.onchange = () => {
    state.span = Number(spanSelect.value);
    for (const [name, view] of state.devices) loadPlots(view, name);
  };
  connectStream();
  const devices = await refreshDevices();
  await loadLog();
  for (const info of devices) {
    const view = state.devices.get(info.name);
    try {
      const answer = await getJson(`/api/v1/devices/${encodeURIComponent(info.name)}/record`);
      const record = {};
      for (const field of answer.fields) {
        const path = field.name.replace(/\[(\d+)\]/g, ".$1").split(".");
        let node = record;
        path.forEach((part, i) => {
          if (i === path.length - 1) node[part] = field.value;
          else node = node[part] = node[part] || (/^\d+$/.test(path[i + 1]) ? [] : {});
        });
      }
      view.record = record;
      showRecord(view);
    } catch (error) {
      // No record yet: the first round fills the tables.
    }
    await loadPlots(view, info.name);
  }
}

start();
