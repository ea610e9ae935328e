"use strict";
// The emulator's page: a grid of small cards, one per scanner, and a detail
// view of one (#SERIAL or #ADDR:PORT), fed by the live updates (/events);
// actions post to the control API with the page's token.
const token = document.querySelector('meta[name="px310-token"]').content;
const cards = new Map();  // "ADDR:PORT" -> card element
const latest = new Map();  // "ADDR:PORT" -> the scanner as last told
const detail = document.getElementById("detail");
let detailKey = "";

function scannerKey(s) { return s.address + ":" + s.tcp_port; }

function field(view, name, text) { view.querySelector('[data-field="' + name + '"]').textContent = text; }

function injected(faults) {
  return Object.keys(faults).filter((k) => faults[k]).map((k) => k + " " + faults[k]).join(", ") || "none";
}

function requests(counts) {
  return Object.keys(counts).map((k) => "#" + k + " " + counts[k]).join(", ") || "none";
}

async function post(view, scanner, command, arg) {
  const answer = view.querySelector(".answer");
  const query = "?scanner=" + encodeURIComponent(scanner);
  try {
    const response = await fetch("/api/" + command + query,
                                 {method: "POST", headers: {"X-PX310-Token": token}, body: arg || ""});
    const body = await response.json();
    answer.textContent = body.error || body.answer || JSON.stringify(body);
    answer.classList.toggle("error", !response.ok);
  } catch (e) {
    answer.textContent = String(e);
    answer.classList.add("error");
  }
}

function makeCard(s) {
  const card = document.getElementById("card").content.firstElementChild.cloneNode(true);
  card.dataset.serial = s.serial;
  card.dataset.scanner = scannerKey(s);
  card.querySelector(".name").textContent = "Serial " + s.serial + " at " + scannerKey(s);
  const toggle = card.querySelector(".toggle");
  toggle.addEventListener("click", (e) => {
    e.stopPropagation();
    post(card, card.dataset.scanner, toggle.dataset.command);
  });
  card.addEventListener("click", () => { location.hash = String(s.serial); });
  card.addEventListener("keydown", (e) => { if (e.key === "Enter") location.hash = String(s.serial); });
  document.getElementById("cards").appendChild(card);
  return card;
}

function wireDetail() {
  for (const form of detail.querySelectorAll("form")) {
    form.addEventListener("submit", (e) => {
      e.preventDefault();
      post(detail, detailKey, form.dataset.command, form.elements.arg.value);
    });
    for (const button of form.querySelectorAll("button[data-arg]"))
      button.addEventListener("click", () => post(detail, detailKey, form.dataset.command, button.dataset.arg));
  }
  for (const button of detail.querySelectorAll(".actions > button[data-command]"))
    button.addEventListener("click", () => post(detail, detailKey, button.dataset.command));
}

// Ticks at round millimetres: about five along an axis.
function ticks(min, max) {
  const raw = (max - min) / 5;
  const step = [1, 2, 5, 10, 20, 50, 100, 200, 500].find((t) => t >= raw) || raw;
  const out = [];
  for (let v = Math.ceil(min / step) * step; v <= max; v += step) out.push(v);
  return out;
}

function drawProfile(canvas, p) {
  const g = canvas.getContext("2d");
  // A small card's canvas has no room for ticks.
  const small = canvas.width < 400;
  const w = canvas.width, h = canvas.height, left = small ? 3 : 36, bottom = small ? 3 : 22;
  // Centred on the laser when points lie left of it, else from the edge.
  const centred = p.x.some((x) => x < 0);
  const xMin = centred ? -p.x_range / 2 : 0, xMax = centred ? p.x_range / 2 : p.x_range;
  const zMin = 0, zMax = p.z_range;
  const px = (x) => left + (x - xMin) / (xMax - xMin) * (w - left - 6);
  const pz = (z) => (h - bottom) - (z - zMin) / (zMax - zMin) * (h - bottom - 6);
  g.fillStyle = "#fbfcfd";
  g.fillRect(0, 0, w, h);
  g.strokeStyle = "#9aa5b1";
  g.fillStyle = "#5b6670";
  g.font = "10px sans-serif";
  g.beginPath();
  g.moveTo(left, 4); g.lineTo(left, h - bottom); g.lineTo(w - 4, h - bottom);
  g.stroke();
  if (!small) {
    g.textAlign = "center";
    for (const x of ticks(xMin, xMax)) g.fillText(String(x), px(x), h - bottom + 12);
    g.textAlign = "right";
    for (const z of ticks(zMin, zMax)) g.fillText(String(z), left - 4, pz(z) + 3);
    g.fillText("mm", w - 4, h - 2);
  }
  g.strokeStyle = "#1f6feb";
  g.lineWidth = 1.5;
  g.beginPath();
  p.x.forEach((x, i) => (i ? g.lineTo(px(x), pz(p.z[i])) : g.moveTo(px(x), pz(p.z[i]))));
  g.stroke();
}

function sourceText(s) {
  if (s.source === "profile") return "drawn profile";
  let text = s.source + " " + s.path;
  if (s.frame) text += " (frame " + s.frame + (s.frames > 0 ? " of " + s.frames : "") + ")";
  if (s.truth) text += " (objects: " + (s.truth.objects || []).length + ")";
  return text;
}

function badges(view, s) {
  view.querySelector(".outage").hidden = !s.outage;
  view.querySelector(".paused").hidden = !s.paused;
}

function showCard(s) {
  const key = scannerKey(s);
  const card = cards.get(key) || cards.set(key, makeCard(s)).get(key);
  field(card, "sent", s.stats.datagrams_sent);
  field(card, "late", s.stats.late_packets);
  field(card, "faults", s.stats.current_faults || "none");
  badges(card, s);
  const toggle = card.querySelector(".toggle");
  toggle.dataset.command = s.paused ? "resume" : "pause";
  toggle.textContent = s.paused ? "Resume" : "Pause";
  if (s.profile) drawProfile(card.querySelector("canvas"), s.profile);
}

function showDetail(s) {
  const st = s.stats;
  detail.querySelector(".name").textContent = "Serial " + s.serial + " at " + scannerKey(s);
  field(detail, "measurement", s.measurement);
  field(detail, "rate", s.frequency + " Hz");
  field(detail, "source", sourceText(s));
  field(detail, "stream", s.outage ? "outage" : s.paused ? "paused" : "streaming");
  field(detail, "sent", st.datagrams_sent);
  field(detail, "late", st.late_packets);
  field(detail, "refused", st.datagrams_refused);
  field(detail, "clients", st.clients_connected);
  field(detail, "faults", st.current_faults || "none");
  field(detail, "injected", injected(st.faults));
  field(detail, "requests", requests(st.requests));
  field(detail, "truth", s.truth ? JSON.stringify(s.truth) : "none");
  badges(detail, s);
  if (s.profile) drawProfile(detail.querySelector("canvas"), s.profile);
}

function show(s) {
  latest.set(scannerKey(s), s);
  showCard(s);
  if (scannerKey(s) === detailKey) showDetail(s);
}

// #SERIAL or #ADDR:PORT details that scanner; anything else shows the grid.
function route() {
  const wanted = decodeURIComponent(location.hash.slice(1));
  const found = [...latest.values()].find((s) => String(s.serial) === wanted || scannerKey(s) === wanted);
  const key = found ? scannerKey(found) : "";
  const changed = key !== detailKey;
  detailKey = key;
  detail.hidden = !found;
  document.getElementById("cards").hidden = !!found;
  document.getElementById("back").hidden = !found;
  if (found) showDetail(found);
  if (changed) follow(followed());
}

// The updates carry thumbnails of the cards in view only (the first ones
// until the page knows) and the detailed scanner's full profile, so that a
// large rig stays light.
let events = null;
function follow(profiles) {
  if (events) events.close();
  const query = new URLSearchParams();
  if (profiles) query.set("profiles", profiles);
  if (detailKey) query.set("detail", detailKey);
  events = new EventSource("/events" + (query.toString() ? "?" + query : ""));
  events.onopen = () => { document.getElementById("status").textContent = "live"; };
  events.onerror = () => { document.getElementById("status").textContent = "reconnecting…"; };
  events.onmessage = (e) => {
    JSON.parse(e.data).scanners.forEach(show);
    if (location.hash.length > 1 && !detailKey) route();
  };
}

const inView = new Set();
function followed() { return detailKey || [...inView].sort().join(","); }

let refollow = null;
const watcher = new IntersectionObserver((entries) => {
  for (const entry of entries)
    entry.isIntersecting ? inView.add(entry.target.dataset.scanner) : inView.delete(entry.target.dataset.scanner);
  if (detailKey) return;
  clearTimeout(refollow);
  refollow = setTimeout(() => follow(followed()), 300);
});
new MutationObserver((changes) => changes.forEach((c) => c.addedNodes.forEach((card) => watcher.observe(card))))
  .observe(document.getElementById("cards"), {childList: true});
wireDetail();
window.addEventListener("hashchange", route);
follow("");
