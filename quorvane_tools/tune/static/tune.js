// The page of `quorvane tune`: every redraw asks the server, which runs the library
// on the picture (api/update: count, shapes, edge points; api/mask: the mask overlay).
"use strict";
(() => {
  const $ = (id) => document.getElementById(id);
  const LIMITS = ["hue", "chroma", "intensity"];
  const SHAPE_COLOUR = "#4dff6a";
  const WEAK_COLOUR = "#ffb020";
  const state = {
    info: null,
    window: { hue: [-0.5, 0.5], chroma: [0.3, 1.0], intensity: [0.1, 0.95] },
    box: null,
    outside: null,
    last: null, // the last api/update answer
    mask: null, // ImageBitmap of the server's mask overlay
  };
  let updates = 0;

  // ---------------------------------------------------------------- helpers

  const fmt = (v) => (Math.round(v * 10000) / 10000).toFixed(4);

  // As the command line writes a limit: at most 4 decimals, no trailing zeros.
  function num(v) {
    const s = fmt(v).replace(/0+$/, "").replace(/\.$/, "");
    return s === "-0" || s === "" ? "0" : s;
  }

  function showFlags() {
    // The server's answer carries the same text; this keeps it current while a request
    // is on its way, or when the server refuses the window.
    // A window of intensity alone (hue and chroma null) has only the intensity flags.
    const w = state.window;
    $("flags").textContent = LIMITS.filter((k) => w[k])
      .map((k) => `--${k} ${num(w[k][0])} ${num(w[k][1])}`)
      .join(" ");
  }

  function setStatus(text, error = false) {
    const s = $("status");
    s.textContent = text;
    s.classList.toggle("error", error);
  }

  async function fetchOk(url) {
    const r = await fetch(url, { cache: "no-store" });
    if (!r.ok) throw new Error((await r.text()).trim() || `${r.status} ${r.statusText}`);
    return r;
  }

  function parseBox(text) {
    if (!text || !/^-?\d{1,6}(,-?\d{1,6}){3}$/.test(text)) return null;
    const b = text.split(",").map(Number);
    return b[2] > 0 && b[3] > 0 ? b : null;
  }

  function windowQuery() {
    const w = state.window;
    return LIMITS.filter((k) => w[k])
      .map((k) => `${k}=${fmt(w[k][0])},${fmt(w[k][1])}`)
      .join("&");
  }

  function fitQuery() {
    const fit = $("fit").value;
    let q = `fit=${encodeURIComponent(fit)}&seed=${parseInt($("seed").value, 10) || 0}`;
    // The box names the object, as `quorvane find --box` does with the window's flags.
    if (state.box && fit !== "none") q += `&box=${state.box.join(",")}`;
    if (fit === "circle" || fit === "ellipse") q += `&radius=${$("radius-0").value},${$("radius-1").value}`;
    return q;
  }

  // ---------------------------------------------------------------- limits

  function showWindow() {
    for (const k of LIMITS) {
      for (const i of [0, 1]) {
        // Hue and chroma of a window of intensity alone stay where they were, greyed out,
        // until one of them is moved.
        $(`${k}-${i}-range`).classList.toggle("off", !state.window[k]);
        $(`${k}-${i}`).classList.toggle("off", !state.window[k]);
        if (!state.window[k]) continue;
        const v = state.window[k][i];
        const range = $(`${k}-${i}-range`);
        if (v < Number(range.min)) range.min = String(Math.floor(v));
        if (v > Number(range.max)) range.max = String(Math.ceil(v));
        range.value = String(v);
        $(`${k}-${i}`).value = fmt(v);
      }
    }
    showFlags();
    drawWheel();
  }

  // Moving a hue or chroma limit of a window of intensity alone brings both back, from the
  // fields as they stand.
  function colourOn() {
    for (const k of ["hue", "chroma"]) {
      if (!state.window[k]) state.window[k] = [0, 1].map((i) => Number($(`${k}-${i}`).value));
    }
  }

  function bindLimits() {
    for (const k of LIMITS) {
      for (const i of [0, 1]) {
        const range = $(`${k}-${i}-range`);
        const number = $(`${k}-${i}`);
        range.addEventListener("input", () => {
          colourOn();
          state.window[k][i] = Number(range.value);
          number.value = fmt(state.window[k][i]);
          showFlags();
          drawWheel();
          schedule();
        });
        number.addEventListener("change", () => {
          const v = Number(number.value);
          if (!Number.isFinite(v)) return showWindow();
          colourOn();
          state.window[k][i] = v;
          showWindow();
          schedule();
        });
      }
    }
  }

  // ---------------------------------------------------------------- colour wheel

  let wheelBackground = null;

  function wheelImage(ctx, size, radius) {
    const img = ctx.createImageData(size, size);
    const c = size / 2;
    for (let py = 0; py < size; py++) {
      for (let px = 0; px < size; px++) {
        const x = (px - c) / radius;
        const y = (c - py) / radius;
        const r = Math.hypot(x, y);
        const o = 4 * (py * size + px);
        if (r > 1.15) continue;
        // Invert the colour model at intensity 0.5: x = R - G/2 - B/2, y = sqrt(3)/2 (G - B).
        const I = 0.5;
        const R = I + (2 / 3) * x;
        const G = I - x / 3 + y / Math.sqrt(3);
        const B = I - x / 3 - y / Math.sqrt(3);
        const dim = r > 1 ? 0.45 : 1;
        img.data[o] = 255 * Math.min(1, Math.max(0, R)) * dim;
        img.data[o + 1] = 255 * Math.min(1, Math.max(0, G)) * dim;
        img.data[o + 2] = 255 * Math.min(1, Math.max(0, B)) * dim;
        img.data[o + 3] = 255;
      }
    }
    return img;
  }

  function drawWheel() {
    const canvas = $("wheel");
    const ctx = canvas.getContext("2d");
    const size = canvas.width;
    const c = size / 2;
    const radius = size / 2 / 1.15;
    if (!wheelBackground) wheelBackground = wheelImage(ctx, size, radius);
    ctx.putImageData(wheelBackground, 0, 0);
    ctx.fillStyle = "rgba(20,20,24,0.55)";
    ctx.beginPath();
    ctx.arc(c, c, 1.15 * radius, 0, 2 * Math.PI);
    ctx.fill();
    if (!state.window.hue) return; // intensity alone: every hue
    const [h1, h2] = state.window.hue;
    const [c1, c2] = state.window.chroma;
    const width = h2 - h1;
    if (!(width > 0 && width < Math.PI)) return;
    // Chroma is measured along the wedge's bisector: the band is the wedge cut by two
    // lines across the bisector, at c1 and c2 from the centre.
    const half = Math.cos(width / 2);
    const far = Math.min(Math.max(c2, 0) / half, 1.15 / half);
    const near = Math.max(c1, 0) / half;
    const at = (h, r) => [c + Math.cos(h) * r * radius, c - Math.sin(h) * r * radius];
    ctx.save();
    ctx.beginPath();
    ctx.arc(c, c, 1.15 * radius, 0, 2 * Math.PI);
    ctx.clip();
    ctx.beginPath();
    for (const p of [at(h1, near), at(h1, far), at(h2, far), at(h2, near)]) ctx.lineTo(p[0], p[1]);
    ctx.closePath();
    ctx.save();
    ctx.clip();
    ctx.putImageData(wheelBackground, 0, 0); // the selected part at full brightness
    ctx.restore();
    ctx.lineWidth = 2;
    ctx.strokeStyle = "#fff";
    ctx.stroke();
    ctx.setLineDash([3, 3]);
    ctx.lineWidth = 1;
    ctx.beginPath();
    for (const h of [h1, h2]) {
      ctx.moveTo(c, c);
      const p = at(h, 1.15 / Math.max(half, 0.01));
      ctx.lineTo(p[0], p[1]);
    }
    ctx.stroke();
    ctx.restore();
  }

  // ---------------------------------------------------------------- drawing

  function drawMask() {
    const ctx = $("mask").getContext("2d");
    ctx.clearRect(0, 0, state.info.width, state.info.height);
    if (state.mask && $("show-mask").checked) ctx.drawImage(state.mask, 0, 0);
  }

  function lineEnds(l, width, height) {
    // A point (px, py) and the normal (nx, ny): the direction is (-ny, nx).
    const dx = -l.ny;
    const dy = l.nx;
    const len = Math.hypot(dx, dy) || 1;
    const t = (width + height) * 2;
    return [l.px - (dx / len) * t, l.py - (dy / len) * t, l.px + (dx / len) * t, l.py + (dy / len) * t];
  }

  function drawShapes() {
    const canvas = $("shapes");
    const ctx = canvas.getContext("2d");
    const { width, height } = state.info;
    ctx.clearRect(0, 0, width, height);
    const u = state.last;
    if (!u) return;
    const scale = width / Math.max(1, $("picture").clientWidth || width); // picture pixels per screen pixel
    if ($("show-points").checked) {
      ctx.fillStyle = "rgba(255,255,0,0.9)";
      const s = Math.max(1.5, 2 * scale);
      const p = u.points;
      for (let i = 0; i + 1 < p.length; i += 2) ctx.fillRect(p[i] - s / 2, p[i + 1] - s / 2, s, s);
    }
    if (!$("show-shapes").checked) return;
    u.shapes.forEach((shape, index) => {
      if (!shape.found) return;
      const colour = shape.warning ? WEAK_COLOUR : SHAPE_COLOUR;
      ctx.strokeStyle = colour;
      ctx.lineWidth = 3 * scale;
      ctx.setLineDash(shape.warning ? [10 * scale, 6 * scale] : []);
      ctx.beginPath();
      let label = [0, 0];
      if (shape.shape === "circle") {
        ctx.arc(shape.x, shape.y, shape.r, 0, 2 * Math.PI);
        label = [shape.x + shape.r * 0.72, shape.y - shape.r * 0.72];
      } else if (shape.shape === "ellipse") {
        ctx.ellipse(shape.x, shape.y, Math.abs(shape.a), Math.abs(shape.b), shape.theta, 0, 2 * Math.PI);
        const st = Math.sin(shape.theta);
        const ct = Math.cos(shape.theta);
        label = [shape.x, shape.y - Math.hypot(shape.a * st, shape.b * ct) - 8 * scale]; // above the top
      } else {
        const lines = shape.shape === "line2" ? shape.lines : [shape];
        for (const l of lines) {
          const e = lineEnds(l, width, height);
          ctx.moveTo(e[0], e[1]);
          ctx.lineTo(e[2], e[3]);
        }
        label = [lines[0].px, lines[0].py];
      }
      ctx.stroke();
      ctx.setLineDash([]);
      const text = `${index + 1}: ${shape.inliers} inliers${shape.warning ? " (weak)" : ""}`;
      ctx.font = `${Math.round(16 * scale)}px system-ui, sans-serif`;
      const x = Math.min(Math.max(label[0], 4 * scale), width - ctx.measureText(text).width - 4 * scale);
      const y = Math.min(Math.max(label[1], 20 * scale), height - 6 * scale);
      ctx.lineWidth = 4 * scale;
      ctx.strokeStyle = "rgba(0,0,0,0.85)";
      ctx.strokeText(text, x, y);
      ctx.fillStyle = colour;
      ctx.fillText(text, x, y);
    });
  }

  function fitStage() {
    // As large as the view allows, keeping the picture's proportions.
    const { width, height } = state.info;
    const room = Math.max(200, window.innerHeight - 60);
    $("stage").style.width = `${Math.min($("view").clientWidth, (room * width) / height)}px`;
  }

  function drawMarks(drag) {
    const canvas = $("marks");
    const ctx = canvas.getContext("2d");
    const { width } = state.info;
    ctx.clearRect(0, 0, canvas.width, canvas.height);
    const scale = width / Math.max(1, $("picture").clientWidth || width);
    const boxes = [
      [state.box, "#ffffff"],
      [state.outside, "#ff5050"],
    ];
    if (drag) boxes.push([drag.box, drag.outside ? "#ff5050" : "#ffffff"]);
    for (const [b, colour] of boxes) {
      if (!b) continue;
      ctx.lineWidth = 2 * scale;
      ctx.setLineDash([6 * scale, 4 * scale]);
      ctx.strokeStyle = "rgba(0,0,0,0.8)";
      ctx.strokeRect(b[0], b[1], b[2], b[3]);
      ctx.lineDashOffset = 6 * scale;
      ctx.strokeStyle = colour;
      ctx.strokeRect(b[0], b[1], b[2], b[3]);
      ctx.lineDashOffset = 0;
    }
  }

  function showAnswer(u) {
    $("flags").textContent = u.flags;
    const image = state.info.name.includes(" ") ? `'${state.info.name}'` : state.info.name;
    $("command").dataset.fitFlags = u.fit_flags;
    $("command").textContent = `quorvane find ${image} ${u.flags}${u.fit_flags ? " " + u.fit_flags : ""}`;
    const count = $("count");
    count.dataset.count = String(u.count);
    count.textContent = `${u.count.toLocaleString("en")} pixels selected (${(100 * u.fraction).toFixed(2)} %)`;
    const list = $("found");
    list.replaceChildren();
    u.shapes.forEach((shape, index) => {
      const li = document.createElement("li");
      li.textContent = shape.found ? `${shape.shape}: ${shape.text}; ${shape.inliers} inliers` : `no ${shape.shape} found`;
      if (shape.found && shape.warning) {
        li.classList.add("weak");
        li.textContent += ` (${shape.warning})`;
      }
      if (!shape.found) li.classList.add("missing");
      li.dataset.index = String(index + 1);
      const { found, text, ...record } = shape;
      if (found) li.dataset.record = JSON.stringify(record);
      list.append(li);
    });
  }

  // ---------------------------------------------------------------- updates

  let inflight = false;
  let pending = false;

  function schedule() {
    pending = true;
    if (!inflight) pump();
  }

  async function pump() {
    inflight = true;
    document.body.dataset.busy = "1";
    while (pending) {
      pending = false;
      const query = windowQuery();
      const t0 = performance.now();
      try {
        // One after the other: the mask request then finds the mask that the update
        // computed in the server's cache instead of computing it again.
        const u = await (await fetchOk(`api/update?${query}&${fitQuery()}`)).json();
        const bitmap = await createImageBitmap(await (await fetchOk(`api/mask?${query}`)).blob());
        state.last = u;
        if (state.mask) state.mask.close();
        state.mask = bitmap;
        showAnswer(u);
        drawMask();
        drawShapes();
        const ms = performance.now() - t0; // request, answer and drawing
        document.body.dataset.redrawMs = ms.toFixed(1);
        setStatus(`redrawn in ${ms.toFixed(0)} ms (${u.ms.toFixed(1)} ms on the server)`);
      } catch (e) {
        setStatus(e.message, true);
      }
    }
    inflight = false;
    document.body.dataset.updates = String(++updates);
    document.body.dataset.busy = "0";
  }

  function saveUrl() {
    // The page's state as a link: the boxes and the fit.
    const params = new URLSearchParams();
    if (state.box) params.set("box", state.box.join(","));
    if (state.outside) params.set("outside", state.outside.join(","));
    const fit = $("fit").value;
    params.set("fit", fit);
    if (fit === "circle" || fit === "ellipse") params.set("radius", `${$("radius-0").value},${$("radius-1").value}`);
    params.set("seed", $("seed").value);
    history.replaceState(null, "", `?${params.toString().replace(/%2C/g, ",")}`);
  }

  async function suggest() {
    let q = `box=${state.box.join(",")}`;
    if (state.outside) q += `&outside=${state.outside.join(",")}`;
    saveUrl();
    drawMarks();
    try {
      const s = await (await fetchOk(`api/suggest?${q}`)).json();
      state.box = s.box;
      state.outside = s.outside;
      drawMarks();
      for (const k of LIMITS) state.window[k] = s.window[k] ? s.window[k].slice() : null;
      showWindow();
      const pct = (v) => (v === null ? "–" : `${(100 * v).toFixed(1)} %`);
      $("suggestion").textContent =
        `suggested: ${pct(s.inside_fraction)} of the box` +
        (s.outside ? `, ${pct(s.outside_fraction)} of the outside box` : "") +
        `, ${pct(s.image_fraction)} of the picture`;
    } catch (e) {
      setStatus(e.message, true);
    }
    schedule();
  }

  // ---------------------------------------------------------------- mouse

  function bindMouse() {
    const stage = $("stage");
    let drag = null;
    const toImage = (ev) => {
      const r = $("picture").getBoundingClientRect();
      const x = ((ev.clientX - r.left) / r.width) * state.info.width;
      const y = ((ev.clientY - r.top) / r.height) * state.info.height;
      return [Math.min(Math.max(x, 0), state.info.width), Math.min(Math.max(y, 0), state.info.height)];
    };
    const boxOf = (a, b) => {
      const x0 = Math.floor(Math.min(a[0], b[0]));
      const y0 = Math.floor(Math.min(a[1], b[1]));
      return [x0, y0, Math.ceil(Math.max(a[0], b[0])) - x0, Math.ceil(Math.max(a[1], b[1])) - y0];
    };
    stage.addEventListener("pointerdown", (ev) => {
      if (ev.button !== 0 || !state.info) return;
      ev.preventDefault();
      stage.setPointerCapture(ev.pointerId);
      const p = toImage(ev);
      drag = { start: p, box: boxOf(p, p), outside: ev.shiftKey };
    });
    stage.addEventListener("pointermove", (ev) => {
      if (!drag) return;
      drag.box = boxOf(drag.start, toImage(ev));
      drawMarks(drag);
    });
    const end = (ev) => {
      if (!drag) return;
      const d = drag;
      drag = null;
      d.box = boxOf(d.start, toImage(ev));
      if (d.box[2] < 2 || d.box[3] < 2) return drawMarks();
      if (d.outside) {
        state.outside = d.box;
        if (!state.box) return drawMarks(); // an outside box waits for an inside one
      } else {
        state.box = d.box;
      }
      suggest();
    };
    stage.addEventListener("pointerup", end);
    stage.addEventListener("pointercancel", () => {
      drag = null;
      drawMarks();
    });
  }

  // ---------------------------------------------------------------- start

  async function copy(text, button) {
    try {
      await navigator.clipboard.writeText(text);
    } catch {
      const area = document.createElement("textarea");
      area.value = text;
      document.body.append(area);
      area.select();
      document.execCommand("copy");
      area.remove();
    }
    const old = button.textContent;
    button.textContent = "copied";
    setTimeout(() => (button.textContent = old), 1200);
  }

  async function start() {
    try {
      state.info = await (await fetchOk("api/info")).json();
    } catch (e) {
      setStatus(e.message, true);
      return;
    }
    const { width, height } = state.info;
    $("name").textContent = `${state.info.name}, ${width} x ${height}`;
    for (const id of ["mask", "shapes", "marks"]) {
      $(id).width = width;
      $(id).height = height;
    }
    fitStage();
    $("radius-0").value = state.info.radius[0];
    $("radius-1").value = state.info.radius[1];
    $("radius-0").max = $("radius-1").max = String(Math.max(width, height));
    bindLimits();
    bindMouse();
    const params = new URLSearchParams(location.search);
    const fit = params.get("fit");
    if (fit && [...$("fit").options].some((o) => o.value === fit)) $("fit").value = fit;
    const radius = params.get("radius");
    if (radius && /^\d{1,5},\d{1,5}$/.test(radius)) [$("radius-0").value, $("radius-1").value] = radius.split(",");
    const seed = params.get("seed");
    if (seed && /^\d{1,9}$/.test(seed)) $("seed").value = seed;
    for (const id of ["fit", "radius-0", "radius-1", "seed"])
      $(id).addEventListener("change", () => {
        saveUrl();
        schedule();
      });
    $("show-mask").addEventListener("change", drawMask);
    $("show-points").addEventListener("change", drawShapes);
    $("show-shapes").addEventListener("change", drawShapes);
    $("copy").addEventListener("click", (ev) => copy($("flags").textContent, ev.currentTarget));
    $("copy-command").addEventListener("click", (ev) => copy($("command").textContent, ev.currentTarget));
    $("picture").addEventListener("load", () => {
      drawShapes();
      drawMarks();
    });
    window.addEventListener("resize", () => {
      fitStage();
      drawShapes();
      drawMarks();
    });
    state.box = parseBox(params.get("box"));
    state.outside = parseBox(params.get("outside"));
    showWindow();
    if (state.box) suggest();
    else {
      if (params.get("box")) setStatus("ignored ?box: expected X,Y,W,H in pixels", true);
      drawMarks();
      schedule();
    }
  }

  start();
})();
