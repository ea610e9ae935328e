"use strict";
// The emulator's page: one card per scanner, fed by the live updates
// (/events); actions post to the control API with the page's token.
const token = document.querySelector('meta[name="px310-token"]').content;
const cards = new Map();  // "ADDR:PORT" -> card element

function scannerKey(s) { return s.address + ":" + s.tcp_port; }

function field(card, name, text) { card.querySelector('[data-field="' + name + '"]').textContent = text; }

function injected(faults) {
  return ["lost", "duplicated", "reordered", "corrupted"].map((k) => k + " " + faults[k]).join(", ");
}

async function post(card, command, arg) {
  const answer = card.querySelector(".answer");
  const query = "?scanner=" + encodeURIComponent(card.dataset.scanner);
  try {
    const response = await fetch("/api/" + command + query,
                                 {method: "POST", headers: {"X-PX310-Token": token}, body: arg});
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
  for (const form of card.querySelectorAll("form")) {
    form.addEventListener("submit", (e) => {
      e.preventDefault();
      post(card, form.dataset.command, form.elements.arg.value);
    });
    for (const button of form.querySelectorAll("button[data-arg]"))
      button.addEventListener("click", () => post(card, form.dataset.command, button.dataset.arg));
  }
  document.getElementById("cards").appendChild(card);
  return card;
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
  const w = canvas.width, h = canvas.height, left = 36, bottom = 22;
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
  g.textAlign = "center";
  for (const x of ticks(xMin, xMax)) g.fillText(String(x), px(x), h - bottom + 12);
  g.textAlign = "right";
  for (const z of ticks(zMin, zMax)) g.fillText(String(z), left - 4, pz(z) + 3);
  g.fillText("mm", w - 4, h - 2);
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

function show(s) {
  const key = scannerKey(s);
  const card = cards.get(key) || cards.set(key, makeCard(s)).get(key);
  const st = s.stats;
  field(card, "measurement", s.measurement);
  field(card, "rate", s.frequency + " Hz");
  field(card, "sent", st.datagrams_sent);
  field(card, "late", st.late_packets);
  field(card, "source", sourceText(s));
  field(card, "clients", st.clients_connected);
  field(card, "faults", st.current_faults || "none");
  field(card, "injected", injected(st.faults));
  card.querySelector(".outage").hidden = !s.outage;
  if (s.profile) drawProfile(card.querySelector("canvas"), s.profile);
}

// The updates carry the profiles of the cards in view only (the first ones
// until the page knows), so that a large rig stays light.
let events = null;
function follow(profiles) {
  if (events) events.close();
  events = new EventSource("/events" + (profiles ? "?profiles=" + encodeURIComponent(profiles) : ""));
  events.onopen = () => { document.getElementById("status").textContent = "live"; };
  events.onerror = () => { document.getElementById("status").textContent = "reconnecting…"; };
  events.onmessage = (e) => { JSON.parse(e.data).scanners.forEach(show); };
}

const inView = new Set();
let refollow = null;
const watcher = new IntersectionObserver((entries) => {
  for (const entry of entries)
    entry.isIntersecting ? inView.add(entry.target.dataset.scanner) : inView.delete(entry.target.dataset.scanner);
  clearTimeout(refollow);
  refollow = setTimeout(() => follow([...inView].sort().join(",")), 300);
});
new MutationObserver((changes) => changes.forEach((c) => c.addedNodes.forEach((card) => watcher.observe(card))))
  .observe(document.getElementById("cards"), {childList: true});
follow("");
