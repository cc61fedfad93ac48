"use strict";
// The page draws no board of its own: the server sends it as SVG (murkle_rl.svg) with its
// geometry and the legal moves [from col, row, to col, row, promotion, LAN, capture]; the page
// marks the selection and sends clicks as moves.

const $ = (id) => document.getElementById(id);
const SVGNS = "http://www.w3.org/2000/svg";
let state = null;
let selected = null;
let busy = false;
window.murkle = { get state() { return state; }, get busy() { return busy; } };

async function call(path, body) {
  const options = body === undefined ? {} : {
    method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body),
  };
  const response = await fetch(path, options);
  let data;
  try { data = await response.json(); } catch (e) { data = { error: `HTTP ${response.status}` }; }
  if (!response.ok) {
    const error = new Error(data.error || `HTTP ${response.status}`);
    error.status = response.status;
    throw error;
  }
  return data;
}

function say(text) { $("message").textContent = text || ""; }

function statusText(s) {
  if (s.over) return `Game over: ${s.result.replace(/_/g, " ")}`;
  if (s.agent_to_move) return "The agent is thinking…";
  return s.check ? "Your move (check!)" : "Your move";
}

function show(s) {
  state = s;
  selected = null;
  $("board").innerHTML = s.svg;
  const svg = $("board").querySelector("svg");
  svg.removeAttribute("width");
  svg.removeAttribute("height");
  svg.addEventListener("click", onBoardClick);
  $("fen").value = s.fen;
  $("moves").value = s.moves.join(" ");
  $("status").textContent = statusText(s);
  $("side").value = s.human;
  $("agent-kind").textContent = `${s.width}×${s.height} board; agent: ${s.agent}`;
  const t = s.thought;
  $("value").textContent = t ? `${t.value >= 0 ? "+" : ""}${t.value.toFixed(2)} (${t.simulations} simulations)` : "–";
  $("line").textContent = t ? t.line.join(" ") : "–";
}

function squareAt(event) {
  const svg = event.currentTarget;
  const point = svg.createSVGPoint();
  point.x = event.clientX;
  point.y = event.clientY;
  const p = point.matrixTransform(svg.getScreenCTM().inverse());
  const g = state.geometry;
  const c = Math.floor((p.x - g.left) / g.square);
  const r = Math.floor((p.y - g.top) / g.square);
  if (c < 0 || r < 0 || c >= g.width || r >= g.height) return null;
  return g.flipped ? [g.width - 1 - c, r] : [c, g.height - 1 - r];
}

function corner(square) {
  const g = state.geometry;
  const c = g.flipped ? g.width - 1 - square[0] : square[0];
  const r = g.flipped ? square[1] : g.height - 1 - square[1];
  return [g.left + c * g.square, g.top + r * g.square];
}

function drawMarks() {
  const svg = $("board").querySelector("svg");
  const old = svg.querySelector("#marks");
  if (old) old.remove();
  if (!selected) return;
  const marks = document.createElementNS(SVGNS, "g");
  marks.id = "marks";
  marks.setAttribute("pointer-events", "none");
  const s = state.geometry.square;
  const [x, y] = corner(selected);
  const box = document.createElementNS(SVGNS, "rect");
  Object.entries({ x, y, width: s, height: s, fill: "#14551e", "fill-opacity": ".35" })
    .forEach(([k, v]) => box.setAttribute(k, v));
  marks.appendChild(box);
  const seen = new Set();
  for (const m of state.legal) {
    if (m[0] !== selected[0] || m[1] !== selected[1] || seen.has(`${m[2]},${m[3]}`)) continue;
    seen.add(`${m[2]},${m[3]}`);
    const [tx, ty] = corner([m[2], m[3]]);
    const dot = document.createElementNS(SVGNS, "circle");
    const look = m[6] // a capture: a ring around the piece; else a dot
      ? { r: s * 0.44, fill: "none", stroke: "#14551e", "stroke-width": s * 0.08, "stroke-opacity": ".5" }
      : { r: s * 0.17, fill: "#14551e", "fill-opacity": ".5" };
    Object.entries({ cx: tx + s / 2, cy: ty + s / 2, class: "target", ...look })
      .forEach(([k, v]) => dot.setAttribute(k, v));
    marks.appendChild(dot);
  }
  svg.appendChild(marks);
}

const same = (a, b) => a && b && a[0] === b[0] && a[1] === b[1];

function onBoardClick(event) {
  if (busy || !state || state.over || state.agent_to_move) return;
  const square = squareAt(event);
  if (!square) return;
  const movable = state.legal.some((m) => m[0] === square[0] && m[1] === square[1]);
  if (selected) {
    const moves = state.legal.filter((m) => same([m[0], m[1]], selected) && same([m[2], m[3]], square));
    if (moves.length > 1) return askPromotion(selected, square);
    if (moves.length === 1) return play({ from: selected, to: square });
    if (same(square, selected)) { selected = null; return drawMarks(); }
    if (movable) { selected = square; say(""); return drawMarks(); }
    return play({ from: selected, to: square }); // not a target: the server says why
  }
  if (movable) { selected = square; say(""); drawMarks(); }
}

function askPromotion(from, to) {
  const box = $("promotion");
  box.hidden = false;
  box.onclick = (event) => {
    const piece = event.target.dataset && event.target.dataset.piece;
    if (piece === undefined) return;
    box.hidden = true;
    if (piece) play({ from, to, promotion: piece }); else { selected = null; drawMarks(); }
  };
}

async function act(work) {
  if (busy) return;
  busy = true;
  say("");
  try {
    await work();
    while (state && state.agent_to_move) {
      $("status").textContent = statusText(state);
      show(await call("/api/agent", { simulations: Number($("simulations").value) }));
    }
  } catch (error) {
    say(error.status === 404 ? `${error.message}` : error.message);
    if (state) { selected = null; drawMarks(); }
  } finally {
    busy = false;
  }
}

const play = (move) => act(async () => show(await call("/api/move", move)));

async function copy(id) {
  const field = $(id);
  field.select();
  try { await navigator.clipboard.writeText(field.value); say("Copied."); } catch (e) {
    document.execCommand("copy");
  }
}

$("new").onclick = () => act(async () => show(await call("/api/new", { side: $("side").value, fen: $("start-fen").value })));
$("undo").onclick = () => act(async () => show(await call("/api/undo", {})));
$("flip").onclick = () => act(async () => show(await call("/api/flip", {})));
$("play").onclick = () => play({ lan: $("lan").value });
$("lan").addEventListener("keydown", (e) => { if (e.key === "Enter") play({ lan: $("lan").value }); });
$("copy-fen").onclick = () => copy("fen");
$("copy-moves").onclick = () => copy("moves");

// the game of this browser, if it has one (null on a first visit; 404 once it was dropped)
act(async () => {
  try { show(await call("/api/state") || await call("/api/new", { side: "white" })); } catch (error) {
    if (error.status !== 404) throw error;
    show(await call("/api/new", { side: "white" }));
  }
});
