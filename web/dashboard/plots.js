// The dashboard's plots: one unit each, series from the API's aligned buckets with their field
// labels and units, fitted to their panel's width. Uses the page's state from dashboard.js.
"use strict";

function chosenSpan() {
  if (state.range) return state.range;
  const until = Date.now();
  return { since: until - state.span, until };
}

// Plots of one unit each, of the readings the record holds: labels and units from the API.
function plotSets(device) {
  const readings = [...device.fields.values()].filter((f) => f.reading);
  const pick = (test) => readings.filter((f) => test.test(f.name)).map((f) => f.name);
  const sets = [
    { title: text("dcVoltage"), fields: pick(/^dc2?\.out_v$/) },
    { title: text("dcCurrent"), fields: pick(/^dc2?\.(out_i|m\[\d+\])$/) },
    { title: text("rectifiers"), fields: pick(/^rc\.channel\[\d+\]\.value$/) },
  ];
  for (let i = 0; i < channelCount(device, "ac.channel"); i++) {
    sets.push({ title: `${text("input")} ${i + 1}`, fields: pick(new RegExp(`^ac\\.channel\\[${i}\\]\\.[abc]$`)) });
  }
  return sets.filter((s) => s.fields.length);
}

// A series over [since, until): a long one comes in parts, each naming where the next starts.
async function getSeries(name, field, since, until) {
  const url = `/api/v1/history/series?device=${encodeURIComponent(name)}&field=${encodeURIComponent(field)}&until=${until}`;
  const series = await getJson(`${url}&since=${since}`);
  for (let part = series; part.next_since !== undefined;) {
    part = await getJson(`${url}&since=${part.next_since}&step=${series.step}`);
    series.points.push(...part.points);
  }
  return series;
}

// The buckets that hold rounds, on the API's grid; where rounds stopped for longer than three
// of their usual spacings a null is put between, drawn as a gap, never a line across.
function aligned(answers) {
  const times = [...new Set(answers.flatMap((a) => a.points.map((p) => p.time)))].sort((a, b) => a - b);
  const spacings = times.slice(1).map((t, i) => t - times[i]).sort((a, b) => a - b);
  const usual = spacings.length ? spacings[Math.floor(spacings.length / 2)] : answers[0].step;
  const outage = Math.max(3 * usual, 2 * answers[0].step);
  const drawn = [];
  times.forEach((t, i) => {
    if (i > 0 && t - times[i - 1] > outage) drawn.push({ t: (t + times[i - 1]) / 2, gap: true });
    drawn.push({ t });
  });
  const columns = answers.map((a) => {
    const byTime = new Map(a.points.map((p) => [p.time, p.mean]));
    return drawn.map((d) => (d.gap || !byTime.has(d.t) ? null : byTime.get(d.t)));
  });
  return [drawn.map((d) => d.t / 1000), ...columns];
}

function axisTimes(withDate) {
  return (u, splits) => splits.map((s) => {
    const full = timeText(s * 1000);
    return withDate ? full.slice(5, 16) : full.slice(11, 19);
  });
}

async function loadPlots(device) {
  const generation = ++state.generation;
  const { since, until } = chosenSpan();
  state.plotsLoaded = Date.now();
  const fetched = [];
  for (const set of plotSets(device)) {
    fetched.push({ set, answers: await Promise.all(set.fields.map((f) => getSeries(device.name, f, since, until))) });
  }
  if (generation !== state.generation) return;
  const container = document.querySelector("#device .plots");
  state.plots.forEach((p) => p.plot.destroy());
  container.replaceChildren();
  state.plots = [];
  const withDate = until - since > 86400000;
  for (const { set, answers } of fetched) {
    const box = element("div", "plot");
    box.dataset.fields = set.fields.join(",");
    const unit = answers[0].unit;
    box.appendChild(element("h4", "", `${set.title} (${unit})`));
    container.appendChild(box);
    const data = aligned(answers);
    const series = [{ value: (u, v) => (v == null ? "–" : timeText(v * 1000)) }].concat(answers.map((a, i) => ({
      label: `${a.label} (${a.unit})`, stroke: `hsl(${(i * 67) % 360} 65% 38%)`, width: 1.5,
      dash: i % 2 ? [6, 3] : undefined, spanGaps: false })));
    const plot = new uPlot({ width: plotWidth(box), height: 180, series, padding: [8, 28, 0, 0],
      axes: [{ values: axisTimes(withDate) }, { label: unit, size: 56 }],
      scales: { x: { time: true, range: [since / 1000, until / 1000] } }, legend: { live: false } }, data, box);
    box.dataset.points = String(data[1].filter((v) => v !== null).length);
    box.dataset.gaps = String(gapCount(data));
    state.plots.push({ plot, box });
  }
  fitPlots();  // each plot was measured while the panel was still being filled
}

// Outages inside the drawn span: nulls between two values.
function gapCount(data) {
  let gaps = 0;
  const column = data[1];
  const firstValue = column.findIndex((v) => v !== null);
  for (let i = firstValue + 1; firstValue >= 0 && i < column.length; i++) {
    if (column[i] === null && column[i - 1] !== null && column.slice(i).some((v) => v !== null)) gaps++;
  }
  return gaps;
}

function plotWidth(box) { return Math.max(200, Math.floor(box.clientWidth)); }

// Every plot to its panel's width: on a resize, and each round for a panel whose width changed
// with no resize to tell.
function fitPlots() {
  for (const p of state.plots) {
    const width = plotWidth(p.box);
    if (Math.abs(width - p.plot.width) > 1) p.plot.setSize({ width, height: 180 });
  }
}
const resizer = new ResizeObserver(() => {
  fitPlots();
  if (state.shown !== null) showDiagram(deviceState(state.shown));
});

