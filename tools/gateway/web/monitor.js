// The link monitor: follows the gateway's event stream (/api/events) and
// draws the rates of the last ten minutes (/api/history first) with Chart.js.
"use strict";

const WINDOW_MS = 10 * 60 * 1000;
const LOG_SIZE = 50;
const SERIES = [  // [port, field, label, colour]
  ["spw1", "tx_bytes_per_sec", "SpW1 Tx", "#1f77b4"],
  ["spw1", "rx_bytes_per_sec", "SpW1 Rx", "#aec7e8"],
  ["spw2", "tx_bytes_per_sec", "SpW2 Tx", "#d62728"],
  ["spw2", "rx_bytes_per_sec", "SpW2 Rx", "#ff9896"],
];

// The badges' labels, by link state code (the JSON's link_state_name is the
// library printers' upper-case name).
const LINK_STATE_LABELS = ["ErrorReset", "ErrorWait", "Ready", "Started", "Connecting", "Run"];
const linkStateLabel = (code) => LINK_STATE_LABELS[code] || "Unknown";

const monitor = { chart: null, last: null, lastArrival: 0, period: 0, log: [] };
window.spwethMonitor = monitor;  // for the browser test and the curious

const $ = (id) => document.getElementById(id);
const number = (n) => (n === null || n === undefined ? "-" : Number(n).toLocaleString("en-US"));

function rate(bytesPerSec) {
  if (bytesPerSec === null || bytesPerSec === undefined) return "-";
  const units = ["B/s", "kB/s", "MB/s", "GB/s"];
  let value = bytesPerSec, unit = 0;
  while (value >= 1000 && unit < units.length - 1) { value /= 1000; unit += 1; }
  return (unit === 0 ? value.toFixed(0) : value.toFixed(value < 10 ? 2 : 1)) + " " + units[unit];
}

function clock(ms) {
  return new Date(ms).toLocaleTimeString("en-GB", { hour12: false });
}

function setBadge(element, name) {
  element.textContent = name;
  element.className = "badge state-" + name.toLowerCase().replace(/[^a-z]/g, "");
}

function packetRate(now, before, port, field) {
  if (!before || !before[port] || now.time_ms <= before.time_ms) return "-";
  const packets = (now[port][field] - before[port][field]) >>> 0;  // 32-bit counters wrap
  return (packets * 1000 / (now.time_ms - before.time_ms)).toFixed(1);
}

function showStatus(status) {
  const before = monitor.last;
  for (const port of ["spw1", "spw2"]) {
    const c = status[port];
    if (!c) continue;
    setBadge($(port + "-state"), linkStateLabel(c.link_state));
    $(port + "-state").title = "link state " + c.link_state + " (" + c.link_state_name + ")";
    $(port + "-tx-bytes").textContent = number(c.tx_bytes);
    $(port + "-rx-bytes").textContent = number(c.rx_bytes);
    $(port + "-tx-rate").textContent = rate(c.tx_bytes_per_sec);
    $(port + "-rx-rate").textContent = rate(c.rx_bytes_per_sec);
    $(port + "-tx-packets").textContent = number(c.tx_packets);
    $(port + "-rx-packets").textContent = number(c.rx_packets);
    $(port + "-rx-eep").textContent = number(c.rx_packets_eep);
    $(port + "-tx-packet-rate").textContent = packetRate(status, before, port, "tx_packets");
    $(port + "-rx-packet-rate").textContent = packetRate(status, before, port, "rx_packets");
  }
  if (status.time_ms !== null) {
    $("speed").textContent = status.speed_mbit !== null ? status.speed_mbit + " Mbit/s"
      : "code 0x" + status.speed_code.toString(16);
    $("switch-state").textContent = "0x" + status.switch_state.toString(16).toUpperCase();
    $("bridge-time").textContent = (status.time_ms / 1000).toFixed(1) + " s";
    if (before && before.at_ms) monitor.period = status.at_ms - before.at_ms;
    monitor.last = status;
    monitor.lastArrival = Date.now();
    addSample(status.at_ms, SERIES.map(([port, field]) => status[port][field]));
  }
  fillCounters("gateway-counters", status.gateway);
  fillCounters("socket-counters", status.counters);
}

function fillCounters(id, counters) {
  if (!counters) return;
  const body = $(id).tBodies[0];
  for (const [name, value] of Object.entries(counters)) {
    let cell = document.getElementById(id + "-" + name);
    if (!cell) {
      const row = body.insertRow();
      const label = document.createElement("th");
      label.textContent = name;
      row.appendChild(label);
      cell = row.insertCell();
      cell.id = id + "-" + name;
    }
    cell.textContent = number(value);
  }
}

function addLog(item) {
  const entry = document.createElement("li");
  const time = document.createElement("time");
  time.textContent = clock(item.at_ms);
  time.dateTime = new Date(item.at_ms).toISOString();
  entry.appendChild(time);
  const text = document.createElement("span");
  if (item.type === "error") {
    text.className = "error";
    text.textContent = "error frame, type " + item.error_type + ": " + item.text +
      (item.data ? " (" + item.data + ")" : "");
  } else {
    text.textContent = item.text;
  }
  entry.appendChild(text);
  const log = $("log");
  log.insertBefore(entry, log.firstChild);
  while (log.children.length > LOG_SIZE) log.removeChild(log.lastChild);
}

// ---------------------------------------------------------------- chart

let chartDirty = false;

function makeChart() {
  if (typeof Chart === "undefined") {
    $("chart-missing").hidden = false;
    return;
  }
  monitor.chart = new Chart($("rates"), {
    type: "line",
    data: {
      datasets: SERIES.map(([, , label, colour]) => ({
        label, data: [], borderColor: colour, backgroundColor: colour,
        borderWidth: 1.5, pointRadius: 0, tension: 0,
      })),
    },
    options: {
      animation: false, responsive: true, maintainAspectRatio: false, parsing: false,
      interaction: { mode: "nearest", axis: "x", intersect: false },
      scales: {
        x: { type: "linear", ticks: { maxTicksLimit: 7, callback: (value) => clock(value) } },
        y: { beginAtZero: true, ticks: { callback: (value) => rate(value) } },
      },
      plugins: {
        tooltip: { callbacks: {
          title: (items) => (items.length ? clock(items[0].parsed.x) : ""),
          label: (item) => item.dataset.label + ": " + rate(item.parsed.y),
        } },
      },
    },
  });
}

function addSample(at, values) {
  if (!monitor.chart) return;
  monitor.chart.data.datasets.forEach((set, i) => {
    if (set.data.length && set.data[set.data.length - 1].x >= at) return;
    set.data.push({ x: at, y: values[i] });
  });
  chartDirty = true;
}

function redrawChart() {
  if (!monitor.chart) return;
  const now = Date.now();
  for (const set of monitor.chart.data.datasets) {
    while (set.data.length && set.data[0].x < now - WINDOW_MS) set.data.shift();
  }
  monitor.chart.options.scales.x.min = now - WINDOW_MS;
  monitor.chart.options.scales.x.max = now;
  monitor.chart.update("none");
  chartDirty = false;
}

// ---------------------------------------------------------------- wiring

function freshness() {
  if (!monitor.lastArrival) return;
  const age = (Date.now() - monitor.lastArrival) / 1000;
  const stale = age > Math.max(3, 3 * monitor.period / 1000);
  $("freshness").textContent = stale ? "no status record for " + age.toFixed(0) + " s"
    : "last status " + age.toFixed(1) + " s ago";
  $("freshness").className = stale ? "badge state-lost" : "muted";
}

function follow() {
  const events = new EventSource("/api/events");
  events.onopen = () => setBadge($("connection"), "live");
  events.onerror = () => setBadge($("connection"), "reconnecting");
  events.onmessage = (message) => {
    const item = JSON.parse(message.data);
    if (item.type === "status") showStatus(item);
    else addLog(item);
  };
}

async function start() {
  makeChart();
  try {
    const history = await (await fetch("/api/history")).json();
    for (const [at, ...values] of history.samples) addSample(at, values);
  } catch (error) {
    addLog({ type: "event", at_ms: Date.now(), text: "history not loaded: " + error });
  }
  redrawChart();
  follow();
  setInterval(() => { freshness(); if (chartDirty || monitor.chart) redrawChart(); }, 1000);
}

document.addEventListener("DOMContentLoaded", start);
