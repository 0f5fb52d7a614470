// The line at a glance: figures, stations, charts and a chip's history from the journal's
// API, kept up to date by the server's live stream. Every text from the journal is put
// into the page as text (textContent), never as markup.
"use strict";

// One colour for each station, the same on every redraw.
const PALETTE = ["#1565c0", "#ef6c00", "#2e7d32", "#6a1b9a", "#00838f", "#ad1457",
  "#4e342e", "#9e9d24", "#283593", "#d84315", "#00695c", "#5d4037"];

const state = { since: "", until: "", stationsEvery: 5000, charts: {}, summary: null };

function $(id) { return document.getElementById(id); }

// A new element with its text and class.
function element(tag, text, className) {
  const made = document.createElement(tag);
  if (text !== undefined && text !== null) made.textContent = String(text);
  if (className) made.className = className;
  return made;
}

function percent(value) { return value === null ? "–" : value.toFixed(1) + " %"; }
function seconds(value) { return value === null ? "–" : value.toFixed(1) + " s"; }
function localTime(iso) { return iso ? new Date(iso).toLocaleString() : ""; }

function query(params) {
  const text = new URLSearchParams(Object.entries(params).filter(([, v]) => v)).toString();
  return text ? "?" + text : "";
}

async function getJson(path) {
  const response = await fetch(path, { credentials: "same-origin", cache: "no-store" });
  const body = await response.json();
  if (!response.ok) throw new Error(body.error || response.statusText);
  return body;
}

function showProblem(error) {
  $("problem").hidden = !error;
  $("problem").textContent = error ? String(error.message || error) : "";
}

function showFigures(summary) {
  $("passed").textContent = summary.passed;
  $("failed").textContent = summary.failed;
  $("first-pass-yield").textContent = percent(summary.first_pass_yield);
  $("final-yield").textContent = percent(summary.final_yield);
  $("per-hour").textContent = summary.per_hour.toFixed(1);
  $("median").textContent = seconds(summary.median_seconds);
  $("p90").textContent = seconds(summary.p90_seconds);
  $("period-shown").textContent = localTime(summary.since) + " – " +
    (summary.until ? localTime(summary.until) : "now");
}

// The hours of the period, each with its count per station.
function showHours(summary) {
  const start = new Date(summary.since);
  start.setUTCMinutes(0, 0, 0);
  const end = summary.until ? new Date(summary.until) : new Date();
  const hours = [];
  for (let t = start.getTime(); t <= end.getTime() && hours.length < 24 * 62; t += 3600000) hours.push(t);
  const stations = [...new Set(summary.hours.map((h) => h.station))];
  const datasets = stations.map((station, index) => {
    const counts = new Map(summary.hours.filter((h) => h.station === station)
      .map((h) => [new Date(h.hour).getTime(), h.runs]));
    return { label: station, data: hours.map((t) => counts.get(t) || 0),
      backgroundColor: PALETTE[index % PALETTE.length] };
  });
  const labels = hours.map((t) => new Date(t).toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" }));
  drawChart("hours-chart", { type: "bar", data: { labels, datasets },
    options: { scales: { x: { stacked: true }, y: { stacked: true, beginAtZero: true } } } });
}

// Failures by cause, the commonest first, with their cumulative share.
function showPareto(summary) {
  const chosen = $("pareto-of").value;
  const byCode = new Map();
  for (const failure of summary.failures) {
    const place = failure.station + "\u0000" + failure.port;
    if (chosen && chosen !== failure.station && chosen !== place) continue;
    const code = failure.code || "unknown";
    byCode.set(code, (byCode.get(code) || 0) + failure.runs);
  }
  const causes = [...byCode.entries()].sort((a, b) => b[1] - a[1] || a[0].localeCompare(b[0]));
  const total = causes.reduce((sum, [, runs]) => sum + runs, 0);
  let running = 0;
  const cumulative = causes.map(([, runs]) => { running += runs; return (100 * running) / total; });
  drawChart("pareto-chart", {
    data: { labels: causes.map(([code]) => code), datasets: [
      { type: "bar", label: "failed runs", data: causes.map(([, runs]) => runs), backgroundColor: "#c62828", yAxisID: "y" },
      { type: "line", label: "cumulative %", data: cumulative, borderColor: "#424242", yAxisID: "share" }] },
    options: { scales: { y: { beginAtZero: true }, share: { position: "right", min: 0, max: 100 } } } });
  const list = $("pareto-list");
  list.replaceChildren(...causes.map(([code, runs]) => {
    const item = element("li");
    item.append(element("span", code, "code"), " ", element("span", runs, "runs"));
    return item;
  }));
  const options = [["", "whole line"]];
  for (const station of summary.stations) {
    options.push([station.station, station.station]);
    for (const fixture of station.fixtures) options.push([station.station + "\u0000" + fixture.port, station.station + " " + fixture.port]);
  }
  const select = $("pareto-of");
  select.replaceChildren(...options.map(([value, text]) => {
    const option = element("option", text);
    option.value = value;
    return option;
  }));
  select.value = options.some(([value]) => value === chosen) ? chosen : "";
}

function showPackages(summary) {
  $("packages").tBodies[0].replaceChildren(...summary.packages.map((p) => {
    const row = element("tr");
    row.append(element("td", p.package), element("td", p.sha256.slice(0, 16)),
      element("td", p.signer || ""), element("td", p.signed_comment || ""),
      element("td", p.passed), element("td", p.runs));
    return row;
  }));
}

function drawChart(id, config) {
  if (typeof Chart === "undefined") return;
  config.options = Object.assign({ responsive: true, maintainAspectRatio: false, animation: false }, config.options);
  const chart = state.charts[id];
  if (chart) {
    chart.data = config.data;
    chart.options = config.options;
    chart.update();
  } else {
    state.charts[id] = new Chart($(id), config);
  }
}

async function refreshSummary() {
  try {
    const summary = await getJson("/api/summary" + query({ since: state.since, until: state.until }));
    state.summary = summary;
    showFigures(summary);
    showHours(summary);
    showPareto(summary);
    showPackages(summary);
    showProblem(null);
  } catch (error) {
    showProblem(error);
  }
}

function fixtureRow(fixture) {
  const row = element("div", null, "fixture");
  row.dataset.port = fixture.port;
  let detail = fixture.detail;
  if (fixture.state === "flashing") {
    detail = (fixture.entry || "") + (fixture.percent === null ? "" : " " + fixture.percent + " %");
  } else if (fixture.state === "failed" && fixture.code) {
    detail = fixture.code + ": " + fixture.detail;
  }
  row.append(element("span", fixture.port, "port"), element("span", fixture.state, "state " + fixture.state),
    element("span", detail, "detail"));
  row.title = "changed " + localTime(fixture.changed);
  return row;
}

async function refreshStations() {
  try {
    const answer = await getJson("/api/stations");
    state.stationsEvery = Math.max(1000, Math.min(5000, (answer.offline_after * 1000) / 3));
    $("stations").replaceChildren(...answer.stations.map((station) => {
      const card = element("div", null, "station" + (station.offline ? " offline" : ""));
      card.dataset.station = station.station;
      const title = element("h3");
      title.append(element("span", station.station, "name"));
      if (station.offline) title.append(element("span", "OFFLINE", "offline-mark"));
      title.append(element("span", "seen " + localTime(station.seen), "seen"));
      card.append(title, ...station.fixtures.map(fixtureRow));
      return card;
    }));
  } catch (error) {
    showProblem(error);
  }
  clearTimeout(state.stationsTimer);
  state.stationsTimer = setTimeout(refreshStations, state.stationsEvery);
}

async function findChip(event) {
  event.preventDefault();
  const key = $("chip").value.trim();
  if (!key) return;
  try {
    const answer = await getJson("/api/chip/" + encodeURIComponent(key));
    $("history").tBodies[0].replaceChildren(...answer.runs.map((run) => {
      const row = element("tr");
      row.append(element("td", localTime(run.time)), element("td", run.station), element("td", run.port),
        element("td", run.sn === null ? "" : run.sn), element("td", run.serial || ""),
        element("td", run.uid || ""), element("td", run.result, "result-" + run.result),
        element("td", run.result === "succeeded" ? "" : run.reason || run.status));
      return row;
    }));
    $("history").hidden = answer.runs.length === 0;
    $("history-empty").hidden = answer.runs.length !== 0;
    showProblem(null);
  } catch (error) {
    showProblem(error);
  }
}

// A browser's local time as the API takes it: UTC.
function utc(input) { return input.value ? new Date(input.value).toISOString() : ""; }

function listen() {
  const events = new EventSource("/api/events");
  let pending = null;
  const later = (refresh) => () => {
    // Records come in bursts: one refresh for a burst.
    if (pending === null) pending = setTimeout(() => { pending = null; refresh(); }, 150);
  };
  events.addEventListener("hello", () => { $("live").textContent = "live"; $("live").classList.remove("off"); });
  events.addEventListener("runs", later(refreshSummary));
  events.addEventListener("stations", refreshStations);
  events.onerror = () => { $("live").textContent = "reconnecting"; $("live").classList.add("off"); };
}

document.addEventListener("DOMContentLoaded", () => {
  $("period").addEventListener("submit", (event) => {
    event.preventDefault();
    state.since = utc($("since"));
    state.until = utc($("until"));
    refreshSummary();
  });
  $("shift").addEventListener("click", () => {
    $("since").value = "";
    $("until").value = "";
    state.since = state.until = "";
    refreshSummary();
  });
  $("pareto-of").addEventListener("change", () => state.summary && showPareto(state.summary));
  $("search").addEventListener("submit", findChip);
  refreshSummary();
  refreshStations();
  listen();
});
